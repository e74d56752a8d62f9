// Fault soak: a Battery32 polls a simulated module for thousands of rounds over
// a line that loses, garbles, splits and floods replies at random (from a fixed
// seed, so every run is the same). Two things must hold throughout:
//
//  * Nothing corrupted reaches the host. Every published record holds, for each
//    quantity, a reading that the module really sent and the line delivered
//    intact; after a delivery that is certainly intact, exactly that reading.
//    A round that ran without any fault publishes exactly the readings the
//    module took for it. The module takes fresh readings for every cell
//    request, so a stale or mixed record does not go unnoticed.
//  * Polling always recovers: once the faults stop, a round completes within a
//    few ticks.
//
// The model of what the device may hold follows the link's rules: a rejected
// reply changes nothing, a temperature outside (0, 100] keeps the previous one,
// and an abandoned round keeps whatever it decoded before it was abandoned. A
// delivery that the line spoilt in a way the device may or may not see through
// (noise in front, a split) adds its readings to the possible ones without
// removing the earlier ones. A delivery that must be refused (bad checksum,
// wrong address, too many bytes) changes nothing, and carries readings the
// device could not have had from anywhere else: made-up ones for the first
// two, readings not yet delivered intact for the last.

#include <gtest/gtest.h>
#include <json/value.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <deque>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "battery/protocol.h"
#include "battery32/battery32.h"
#include "host/stand_in/host_events.h"
#include "tests/support/cout_capture.h"
#include "tools/module/module_simulator.h"

namespace {

namespace bp = battery_protocol;
using module::Bytes;
using module::Random;
using module::Readings;

constexpr int kRounds = 10000;
constexpr std::uint64_t kSeed = 0x5EEDB0A7C0FFEEull;
constexpr int kFaultyTickPercent = 45;  // ticks on which the line may spoil replies
constexpr int kFaultPercent = 40;       // replies it spoils on such a tick
// Fault-free ticks within which a round must complete after a fault: one per
// command of a round, though the device needs only one.
constexpr int kRecoveryTicks = 4;
constexpr float kGroupVoltageFloor = 40.0f;
constexpr std::uint32_t kDataId = 3207;

struct Config {
    const char* name;
    std::uint8_t host_addr;  // as the host stores it; the wire address has the top bit flipped
    bool reversed;           // "dir": wire position p is cell 31 - p
    bool millivolts;         // "battery_type" 6
    bool centivolt_group;    // "version" 2: group voltage in 1/100 V
    bool current_sensor;     // "current_ratio" 1
};

void PrintTo(const Config& c, std::ostream* os) { *os << c.name; }

using Cells = std::array<float, 32>;

// The device's values for a module's readings, worked out here from the
// module's units rather than through the device's scaling code.
class Scale {
public:
    explicit Scale(const Config& c) : c_(c) {}

    Cells CellsOf(const std::array<std::uint16_t, 32>& raw) const {
        Cells out{};
        const float divisor = c_.millivolts ? 1000.0f : 100.0f;
        for (std::size_t p = 0; p < 32; ++p) {
            // The module reports a missing cell as 0, which reads as 0 V.
            out[c_.reversed ? 31 - p : p] =
                raw[p] == 0 ? 0.0f : static_cast<float>(raw[p]) / divisor;
        }
        return out;
    }
    float GroupOf(std::uint16_t raw) const {
        return static_cast<float>(raw) / (c_.centivolt_group ? 100.0f : 10.0f);
    }
    float CurrentOf(std::uint16_t raw) const {
        if (!c_.current_sensor) return static_cast<float>(raw) / 10.0f;
        // A sensor centred on 2.5 V (raw 2500), 50 A per volt, one step at a time.
        float amps = static_cast<float>(raw) / 10.0f;
        amps = amps / 125.0f;
        amps = amps - 2.0f;
        amps = amps * 50.0f;
        return amps;
    }
    // Nothing for a reading the device refuses as implausible.
    std::optional<float> TemperatureOf(std::uint16_t raw) const {
        const float t = static_cast<float>(raw) / 100.0f;
        if (raw == 0 || raw > 10000) return std::nullopt;
        return t;
    }

private:
    Config c_;
};

// The module, as the module model simulates it. Every cell request finds the
// string a little changed: the model spreads the cells over their plausible
// range with its own noise, and now and then fewer of them are fitted (they
// read 0); the other readings are drawn here and configured before the request.
class Module {
public:
    Module(const Config& c, std::uint8_t wire_addr) : c_(c), addr_(wire_addr), sim_(kSeed) {
        module::ModuleConfig m;
        m.address = wire_addr;
        m.battery_type = c.millivolts ? 6 : 0;
        m.version = c.centivolt_group ? 2 : 1;
        // 9.00..15.00 V, or 4.500..7.500 V in millivolt steps.
        m.cells = module::CellProfile::Flat(c.millivolts ? 6.0 : 12.0);
        m.cells.noise = c.millivolts ? 1.5 : 3.0;
        sim_.AddModule(m);
    }

    // What the module sends back to `command` (nothing for one it ignores).
    Bytes Answer(std::uint8_t command, Random& rng) {
        if (command == bp::kCmdCellVoltages) Configure(rng);
        Bytes reply;
        for (const module::Transmission& t : sim_.Answer(addr_, command))
            reply.insert(reply.end(), t.bytes.begin(), t.bytes.end());
        if (command == bp::kCmdCellVoltages) now_ = sim_.Journal().back().readings;
        return reply;
    }

    const Readings& now() const { return now_; }
    std::uint8_t addr() const { return addr_; }

private:
    // Readings in wire units, set through the model's engineering units (the
    // current in plain coding, whatever the device is set to decode).
    void Configure(Random& rng) {
        module::ModuleConfig& m = sim_.Module(addr_);
        m.cells.cells_in_use = rng.Percent(30) ? rng.Between(26, 31) : 32;
        const unsigned scale = c_.centivolt_group ? 100 : 10;
        // Now and then the module's own group reading is missing (below the floor).
        const unsigned group =
            rng.Percent(10) ? rng.Between(0, 40 * scale - 1) : rng.Between(40 * scale, 600 * scale);
        m.group_voltage = group / static_cast<double>(scale);
        m.current = rng.Between(0, 5000) / 10.0;
        m.temperature = (rng.Percent(6) ? (rng.Percent(50) ? 0 : rng.Between(10001, 65535))
                                        : rng.Between(1, 10000)) /
                        100.0;
    }

    Config c_;
    std::uint8_t addr_;
    module::ModuleSimulator sim_;
    Readings now_;
};

enum Fault {
    kNone,
    kSilence,
    kGarbageBefore,
    kBadChecksum,
    kWrongAddress,
    kSplit,
    kOverflow,
    kFaultKinds
};
const char* const kFaultNames[kFaultKinds] = {
    "none", "silence", "garbage before", "bad checksum", "wrong address", "split", "overflow"};

// How much of what the module sent may reach the device's live values.
enum class Carried {
    kIntact,   // delivered as sent: the device takes it
    kPerhaps,  // spoilt in a way the device may or may not see through
    kRefused,  // spoilt in a way the device must refuse
};

// The possible live values of the device, quantity by quantity.
struct Possible {
    std::vector<Cells> cells{Cells{}};
    std::vector<float> group{0.0f};  // as decoded, before the floor rule
    std::vector<float> current{0.0f};
    std::vector<float> temperature{0.0f};
};

template <typename T>
void Take(std::vector<T>& possible, const T& value, Carried how) {
    if (how == Carried::kIntact) possible.assign(1, value);
    if (how == Carried::kPerhaps &&
        std::find(possible.begin(), possible.end(), value) == possible.end())
        possible.push_back(value);
}

template <typename T>
bool Holds(const std::vector<T>& possible, const T& value) {
    return std::find(possible.begin(), possible.end(), value) != possible.end();
}

class SoakHost : public stand_in::InstalledHostEvents {
public:
    void SendData(ZorSPDevice&, const unsigned char* data, unsigned int length) override {
        frames.emplace_back(data, data + length);
    }
    // The base's per-poll work runs when, and only when, a new round begins.
    void RefreshStatus(ZorSPDevice&) override { ++round_starts; }
    void SendSP(ZorVDevice&, int type_id, const unsigned char* data, unsigned int length,
                bool) override {
        published.emplace_back(data, data + length);
        type_ids.push_back(type_id);
    }
    void SaveDeviceHistory(ZorVDevice&, const unsigned char* data, unsigned int length) override {
        saved.emplace_back(data, data + length);
    }

    std::deque<Bytes> frames;
    int round_starts = 0;
    std::vector<Bytes> published;
    std::vector<int> type_ids;
    std::vector<Bytes> saved;
};

struct Tally {
    int ticks = 0;
    int rounds_started = 0;
    int rounds_completed = 0;
    int rounds_abandoned = 0;
    int clean_rounds_checked = 0;
    int recoveries = 0;
    int longest_recovery_ticks = 0;
    std::array<int, kFaultKinds> faults{};
    int FaultsInjected() const {
        int n = 0;
        for (int k = kSilence; k < kFaultKinds; ++k) n += faults[k];
        return n;
    }
};

class Soak {
public:
    explicit Soak(const Config& c)
        : config_(c),
          scale_(c),
          module_(c, static_cast<std::uint8_t>(c.host_addr ^ 0x80)),
          rng_(kSeed) {
        dev_.data_id_ = kDataId;
        dev_.addr_ = c.host_addr;
        Json::Value settings;
        Json::Value& app = settings["appSetting"];
        app["dir"] = c.reversed ? 1 : 0;
        app["battery_type"] = c.millivolts ? 6 : 0;
        app["version"] = c.centivolt_group ? 2 : 1;
        app["current_ratio"] = c.current_sensor ? 1 : 0;
        dev_.InitSetting(settings);
    }

    void Run(int rounds) {
        const int tick_limit = rounds * 20;
        while (tally_.rounds_completed < rounds && tally_.ticks < tick_limit &&
               !::testing::Test::HasFailure()) {
            Tick();
        }
    }

    const Tally& tally() const { return tally_; }

private:
    void Tick() {
        ++tally_.ticks;
        const bool faulty = rng_.Percent(kFaultyTickPercent);
        const int published_before = tally_.rounds_completed;
        bool fault_this_tick = false;

        const int starts_before = host_.round_starts;
        dev_.RefreshStatus();
        if (host_.round_starts != starts_before) StartRound();
        CheckState("after a tick");

        while (!host_.frames.empty() && !::testing::Test::HasFailure()) {
            const Bytes frame = host_.frames.front();
            host_.frames.pop_front();
            const std::uint8_t command = CheckCommand(frame);
            Fault fault = kNone;
            if (faulty && rng_.Percent(kFaultPercent))
                fault = static_cast<Fault>(1 + rng_.Below(kFaultKinds - 1));
            if (fault != kNone) {
                ++tally_.faults[fault];
                round_faulted_ = true;
                fault_this_tick = true;
            }
            Serve(command, fault);
        }

        // Recovery: after a fault, fault-free ticks must bring a round home soon.
        if (fault_this_tick) {
            recovering_ = true;
            clean_ticks_ = 0;
        } else if (recovering_) {
            ++clean_ticks_;
            if (tally_.rounds_completed > published_before) {
                recovering_ = false;
                ++tally_.recoveries;
                tally_.longest_recovery_ticks =
                    std::max(tally_.longest_recovery_ticks, clean_ticks_);
            } else {
                EXPECT_LT(clean_ticks_, kRecoveryTicks)
                    << "no round completed in " << clean_ticks_ << " fault-free ticks after a fault"
                    << Where();
            }
        }
    }

    void StartRound() {
        if (round_open_ && !round_published_) ++tally_.rounds_abandoned;
        ++tally_.rounds_started;
        round_open_ = true;
        round_published_ = false;
        round_faulted_ = false;
    }

    std::uint8_t CheckCommand(const Bytes& frame) {
        EXPECT_EQ(frame.size(), bp::kCommandLength) << Where();
        if (frame.size() != bp::kCommandLength) return 0;
        EXPECT_EQ(frame, module::CommandFrame(module_.addr(), frame[3])) << Where();
        EXPECT_TRUE(frame[3] >= bp::kCmdCellVoltages && frame[3] <= bp::kCmdTemperature) << Where();
        return frame[3];
    }

    void Serve(std::uint8_t command, Fault fault) {
        const Bytes reply = module_.Answer(command, rng_);
        if (command == bp::kCmdCellVoltages && !round_faulted_) round_readings_ = module_.now();
        if (fault == kSilence) return;

        std::vector<Bytes> chunks;
        switch (fault) {
            case kNone:
                chunks = {reply};
                Account(command, module_.now(), Carried::kIntact);
                break;
            case kBadChecksum:
            case kWrongAddress: {
                const Readings poison = Poison(command);
                std::uint8_t addr = module_.addr();
                if (fault == kWrongAddress)
                    addr = static_cast<std::uint8_t>(addr + 1 + rng_.Below(255));
                Bytes bad = module::ReplyFrame(addr, command, poison);
                if (fault == kBadChecksum) {
                    // Any other checksum byte, 254 and 255 included.
                    bad.back() = static_cast<std::uint8_t>(bad.back() + 1 + rng_.Below(255));
                }
                chunks = {bad};
                Account(command, poison, Carried::kRefused);
                break;
            }
            case kGarbageBefore:
                chunks = GarbageBefore(reply);
                break;
            case kSplit:
                chunks = Split(reply);
                break;
            default:
                // Carries the module's real readings, new since its last cell
                // request, so taking them in would show.
                chunks = Overflow(reply);
                Account(command, module_.now(), Carried::kRefused);
                break;
        }
        if (fault == kGarbageBefore || fault == kSplit)
            Account(command, module_.now(), Carried::kPerhaps);

        for (Bytes& chunk : chunks) {
            const std::size_t published_before = host_.published.size();
            dev_.process(chunk.data(), static_cast<unsigned int>(chunk.size()));
            CheckState("after a chunk");
            if (host_.published.size() != published_before) Published();
        }
    }

    // Line noise: never the reply lead byte, except as the start of a false
    // frame whose address cannot be the module's.
    Bytes Noise(std::size_t n, bool false_start) {
        Bytes out;
        if (false_start) {
            out.push_back(bp::kReplyLead);
            out.push_back(static_cast<std::uint8_t>(module_.addr() + 1 + rng_.Below(255)));
        }
        while (out.size() < n) {
            const auto b = static_cast<std::uint8_t>(rng_.Below(256));
            if (b != bp::kReplyLead) out.push_back(b);
        }
        return out;
    }

    std::vector<Bytes> GarbageBefore(const Bytes& reply) {
        const std::size_t n = 1 + rng_.Below(12);
        if (rng_.Percent(50)) {  // in the same chunk as the reply
            Bytes chunk = Noise(n, false);
            chunk.insert(chunk.end(), reply.begin(), reply.end());
            return {chunk};
        }
        return {Noise(std::max<std::size_t>(n, 2), rng_.Percent(50)), reply};
    }

    std::vector<Bytes> Split(const Bytes& reply) {
        const std::size_t pieces = 2 + rng_.Below(3);
        std::vector<std::size_t> cuts;
        while (cuts.size() < pieces - 1) {
            const std::size_t cut = 1 + rng_.Below(static_cast<unsigned>(reply.size() - 1));
            if (std::find(cuts.begin(), cuts.end(), cut) == cuts.end()) cuts.push_back(cut);
        }
        std::sort(cuts.begin(), cuts.end());
        std::vector<Bytes> out;
        std::size_t from = 0;
        for (const std::size_t cut : cuts) {
            out.emplace_back(reply.begin() + static_cast<std::ptrdiff_t>(from),
                             reply.begin() + static_cast<std::ptrdiff_t>(cut));
            from = cut;
        }
        out.emplace_back(reply.begin() + static_cast<std::ptrdiff_t>(from), reply.end());
        return out;
    }

    // More than the 80 bytes a reply may take, which the device drops with
    // whatever it holds: trailing bytes in the reply's chunk, a false frame in
    // front that the reply then overfills, or the reply's start followed by its
    // rest and a flood.
    std::vector<Bytes> Overflow(const Bytes& reply) {
        const std::size_t limit = bp::kMaxReplyBytes;
        switch (rng_.Below(3)) {
            case 0: {
                Bytes chunk = reply;
                const Bytes tail = Noise(limit + 1 - reply.size() + rng_.Below(40), false);
                chunk.insert(chunk.end(), tail.begin(), tail.end());
                return {chunk};
            }
            case 1:
                return {Noise(limit + 1 - reply.size() + rng_.Below(10), true), reply};
            default: {
                const std::size_t cut = 1 + rng_.Below(static_cast<unsigned>(reply.size() - 1));
                Bytes rest(reply.begin() + static_cast<std::ptrdiff_t>(cut), reply.end());
                const Bytes flood = Noise(limit + 1 - reply.size() + rng_.Below(20), false);
                rest.insert(rest.end(), flood.begin(), flood.end());
                return {Bytes(reply.begin(), reply.begin() + static_cast<std::ptrdiff_t>(cut)),
                        rest};
            }
        }
    }

    // Readings the module did not take, different from every reading the device
    // may hold, so that taking them in would show.
    Readings Poison(std::uint8_t command) {
        Readings r = module_.now();
        for (int attempt = 0;; ++attempt) {
            Readings p = r;
            switch (command) {
                case bp::kCmdCellVoltages: {
                    const std::size_t at = rng_.Below(32);
                    const unsigned lo = config_.millivolts ? 4500 : 900;
                    const unsigned hi = config_.millivolts ? 7500 : 1500;
                    while (p.cells[at] == r.cells[at]) p.cells[at] = rng_.Between(lo, hi);
                    if (!Holds(possible_.cells, scale_.CellsOf(p.cells))) return p;
                    break;
                }
                case bp::kCmdGroupVoltage:
                    p.group = static_cast<std::uint16_t>(r.group + 1 + rng_.Below(500));
                    if (!Holds(possible_.group, scale_.GroupOf(p.group))) return p;
                    break;
                case bp::kCmdCurrent:
                    p.current = static_cast<std::uint16_t>(r.current + 1 + rng_.Below(500));
                    if (!Holds(possible_.current, scale_.CurrentOf(p.current))) return p;
                    break;
                default:
                    p.temperature = rng_.Between(1, 10000);  // one the device would accept
                    if (p.temperature != r.temperature &&
                        !Holds(possible_.temperature, *scale_.TemperatureOf(p.temperature)))
                        return p;
                    break;
            }
            if (attempt > 100) {
                ADD_FAILURE() << "could not make a poisoned reading";
                return p;
            }
        }
    }

    void Account(std::uint8_t command, const Readings& r, Carried how) {
        if (how == Carried::kRefused) return;
        switch (command) {
            case bp::kCmdCellVoltages:
                Take(possible_.cells, scale_.CellsOf(r.cells), how);
                break;
            case bp::kCmdGroupVoltage:
                Take(possible_.group, scale_.GroupOf(r.group), how);
                break;
            case bp::kCmdCurrent:
                Take(possible_.current, scale_.CurrentOf(r.current), how);
                break;
            default:
                // A refused temperature leaves the previous one in place.
                if (const auto t = scale_.TemperatureOf(r.temperature))
                    Take(possible_.temperature, *t, how);
                break;
        }
    }

    void CheckState(const char* when) {
        EXPECT_TRUE(dev_.msg_len >= 0 && dev_.msg_len <= static_cast<int>(bp::kMaxReplyBytes))
            << "msg_len " << dev_.msg_len << " " << when << Where();
        EXPECT_TRUE(dev_.pending_cmd_ >= 0 && dev_.pending_cmd_ <= 4)
            << "pending_cmd_ " << dev_.pending_cmd_ << " " << when << Where();
    }

    void Published() {
        ++tally_.rounds_completed;
        round_published_ = true;
        ASSERT_EQ(host_.type_ids.back(), kBattery32RecordTypeId) << Where();
        const Bytes& image = host_.published.back();
        ASSERT_EQ(image.size(), sizeof(Battery32_Data_t)) << Where();
        ASSERT_EQ(host_.saved.size(), host_.published.size()) << "no history saved" << Where();
        EXPECT_EQ(host_.saved.back(), image)
            << "saved history differs from the published record" << Where();

        Battery32_Data_t record;
        std::memcpy(&record, image.data(), sizeof record);
        Cells cells;
        std::memcpy(cells.data(), image.data() + offsetof(Battery32_Data_t, cell_voltage),
                    sizeof cells);
        const std::uint32_t data_id = record.data_id;
        const unsigned status = record.status;
        const float group = record.group_voltage;
        const float current = record.group_current;
        const float temperature = record.temperature;
        float cell_sum = 0.0f;
        for (const float v : cells) cell_sum += v;

        EXPECT_EQ(data_id, kDataId) << Where();
        EXPECT_EQ(status, 0u) << Where();
        EXPECT_TRUE(Holds(possible_.cells, cells)) << "cells not delivered intact" << Where();
        const bool group_ok =
            std::any_of(possible_.group.begin(), possible_.group.end(),
                        [&](float g) { return group == (g < kGroupVoltageFloor ? cell_sum : g); });
        EXPECT_TRUE(group_ok) << "group voltage " << group << " not delivered intact" << Where();
        EXPECT_TRUE(Holds(possible_.current, current)) << "current " << current << Where();
        EXPECT_TRUE(Holds(possible_.temperature, temperature))
            << "temperature " << temperature << Where();

        if (!round_faulted_) {
            // Nothing went wrong in this round: it publishes exactly what it read.
            ++tally_.clean_rounds_checked;
            const Readings& r = round_readings_;
            const Cells expected = scale_.CellsOf(r.cells);
            EXPECT_EQ(cells, expected) << "clean round, cells" << Where();
            const float g = scale_.GroupOf(r.group);
            float expected_sum = 0.0f;
            for (const float v : expected) expected_sum += v;
            EXPECT_EQ(group, g < kGroupVoltageFloor ? expected_sum : g)
                << "clean round, group" << Where();
            EXPECT_EQ(current, scale_.CurrentOf(r.current)) << "clean round, current" << Where();
            if (const auto t = scale_.TemperatureOf(r.temperature)) {
                EXPECT_EQ(temperature, *t) << "clean round, temperature" << Where();
            }
        }
    }

    std::string Where() const {
        std::ostringstream s;
        s << " (" << config_.name << ", tick " << tally_.ticks << ", round "
          << tally_.rounds_started << ")";
        return s.str();
    }

    Config config_;
    Scale scale_;
    Module module_;
    Random rng_;
    SoakHost host_;
    Battery32 dev_;
    Possible possible_;
    Tally tally_;
    Readings round_readings_;
    bool round_open_ = false;
    bool round_published_ = false;
    bool round_faulted_ = false;
    bool recovering_ = false;
    int clean_ticks_ = 0;
};

class FaultSoak : public ::testing::TestWithParam<Config> {};

TEST_P(FaultSoak, PublishesOnlyIntactReadingsAndAlwaysRecovers) {
    Tally tally;
    {
        // The device reports progress on standard output on every round;
        // thousands of rounds of it would drown the test's own output.
        test_support::CoutSilence quiet;
        Soak soak(GetParam());
        soak.Run(kRounds);
        tally = soak.tally();
    }

    std::cout << "[ soak     ] " << GetParam().name << ": " << tally.ticks << " ticks, "
              << tally.rounds_started << " rounds started, " << tally.rounds_completed
              << " completed (" << tally.clean_rounds_checked << " fault-free), "
              << tally.rounds_abandoned << " abandoned; " << tally.FaultsInjected()
              << " faults injected:";
    for (int k = kSilence; k < kFaultKinds; ++k)
        std::cout << " " << kFaultNames[k] << " " << tally.faults[k];
    std::cout << "; " << tally.recoveries << " recoveries, the longest "
              << tally.longest_recovery_ticks << " fault-free tick(s)" << std::endl;
    RecordProperty("rounds_completed", tally.rounds_completed);
    RecordProperty("rounds_abandoned", tally.rounds_abandoned);
    RecordProperty("faults_injected", tally.FaultsInjected());

    EXPECT_GE(tally.rounds_completed, kRounds);
    // The soak is only worth its time if every kind of fault was exercised and
    // some of them cost rounds.
    for (int k = kSilence; k < kFaultKinds; ++k) EXPECT_GT(tally.faults[k], 0) << kFaultNames[k];
    EXPECT_GT(tally.rounds_abandoned, 0);
    EXPECT_GT(tally.recoveries, 0);
}

const Config kConfigs[] = {
    {"Default", 0x81, false, false, false, false},
    {"ReversedMillivoltSensor", 0x13, true, true, true, true},
};

INSTANTIATE_TEST_SUITE_P(Settings, FaultSoak, ::testing::ValuesIn(kConfigs),
                         [](const ::testing::TestParamInfo<Config>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
