// Serial link: whatever arrives on the line, chopped and timed however it
// happens to be, must leave the receive state in bounds and must never put a
// reading from a reply that failed its checks into a published record.
//
// The input (see link_input.h) picks the module address and a few settings,
// then interleaves ticks and received chunks: raw bytes, or replies that the
// harness builds for the pending command, intact or spoilt, so that the fuzzer
// gets through whole rounds without having to guess checksums.
//
// Every record handed to the host is checked against a set of readings that the
// device could legitimately hold: the decoding of any window of the received
// byte stream that forms a reply with the right lead, address and checksum. The
// set is generous (it ignores chunk and command boundaries), so it never
// rejects an honest record, yet it holds nothing that came only from a spoilt
// reply.

#include <json/value.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "battery/protocol.h"
#include "battery32/battery32.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/link_input.h"
#include "host/stand_in/host_events.h"

namespace bp = battery_protocol;
using fuzz_support::Bytes;
using fuzz_support::InputReader;
using module::kCellReplyLength;
using module::kReplyLead;
using module::kValueReplyLength;
using module::WireSum;
constexpr std::size_t kCells = module::kCellCount;

namespace {

using CellVector = std::array<float, kCells>;

bool SameFloat(float a, float b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

bool SameCells(const CellVector& a, const float* b) {
    for (std::size_t i = 0; i < kCells; ++i)
        if (!SameFloat(a[i], b[i])) return false;
    return true;
}

// What the device may have decoded from the bytes received so far.
class Legitimate {
public:
    Legitimate(std::uint8_t addr, const Battery32& dev)
        : addr_(addr),
          scaling_{dev.battery_type_, dev.dir_, dev.battery_adjust_, dev.t0_, dev.t31_},
          version_(dev.version_),
          gain_(dev.group_a_),
          offset_(dev.group_b_),
          sensor_current_(dev.current_ratio_ != 0) {}

    void Received(const std::uint8_t* data, std::size_t length) {
        stream_.insert(stream_.end(), data, data + length);
        for (; next_value_ + kValueReplyLength <= stream_.size(); ++next_value_) {
            const std::uint8_t* w = &stream_[next_value_];
            if (w[0] == kReplyLead && w[1] == addr_ && WireSum(w + 1, 3) == w[4]) {
                const auto raw = static_cast<std::uint16_t>((w[2] << 8) | w[3]);
                if (std::find(raws_.begin(), raws_.end(), raw) == raws_.end()) raws_.push_back(raw);
            }
        }
        for (; next_cells_ + kCellReplyLength <= stream_.size(); ++next_cells_) {
            const std::uint8_t* w = &stream_[next_cells_];
            if (w[0] == kReplyLead && w[1] == addr_ &&
                WireSum(w + 1, kCellReplyLength - 2) == w[kCellReplyLength - 1]) {
                CellVector cells{};
                bp::DecodeCellReply(w, scaling_, cells.data());
                cell_sets_.push_back(cells);
            }
        }
    }

    bool CellsOk(const float* cells) const {
        if (SameCells(CellVector{}, cells)) return true;  // nothing decoded yet
        for (const auto& c : cell_sets_)
            if (SameCells(c, cells)) return true;
        return false;
    }

    // A group voltage under the floor is replaced by the sum of the cells.
    bool GroupVoltageOk(float published, const float* cells) const {
        float sum = 0.0f;
        for (std::size_t i = 0; i < kCells; ++i) sum += cells[i];
        if (SameFloat(published, sum)) return true;
        for (const std::uint16_t raw : raws_)
            if (SameFloat(published, bp::ScaleGroupVoltage(raw, version_, gain_, offset_)))
                return true;
        return false;
    }

    bool CurrentOk(float published) const {
        for (const std::uint16_t raw : raws_) {
            const float c = sensor_current_ ? bp::SensorCurrent(raw) : bp::PlainCurrent(raw);
            if (SameFloat(published, c)) return true;
        }
        return false;
    }

    // A temperature outside the accepted range leaves the previous one.
    bool TemperatureOk(float published) const {
        if (SameFloat(published, 0.0f)) return true;
        for (const std::uint16_t raw : raws_) {
            const float t = bp::ScaleTemperature(raw);
            if (bp::IsAcceptedTemperature(t) && SameFloat(published, t)) return true;
        }
        return false;
    }

private:
    std::uint8_t addr_;
    bp::CellScaling scaling_;
    int version_;
    float gain_;
    float offset_;
    bool sensor_current_;
    Bytes stream_;
    std::size_t next_value_ = 0;
    std::size_t next_cells_ = 0;
    std::vector<std::uint16_t> raws_;
    std::vector<CellVector> cell_sets_;
};

class LinkHost : public stand_in::InstalledHostEvents {
public:
    void SendData(ZorSPDevice& dev, const unsigned char* data, unsigned int length) override {
        FUZZ_CHECK(length == module::kCommandLength);
        FUZZ_CHECK(data[3] >= bp::kCmdCellVoltages && data[3] <= bp::kCmdTemperature);
        FUZZ_CHECK(Bytes(data, data + length) == module::CommandFrame(dev.addr_, data[3]));
        last_command = data[3];
    }
    void SendSP(ZorVDevice&, int type_id, const unsigned char* data, unsigned int length,
                bool) override {
        FUZZ_CHECK(type_id == kBattery32RecordTypeId);
        FUZZ_CHECK(length == sizeof(Battery32_Data_t));
        FUZZ_CHECK(!published_unsaved);
        published.assign(data, data + length);
        published_unsaved = true;
        ++publications;
    }
    void SaveDeviceHistory(ZorVDevice&, const unsigned char* data, unsigned int length) override {
        FUZZ_CHECK(published_unsaved);
        FUZZ_CHECK(length == published.size());
        FUZZ_CHECK(std::memcmp(data, published.data(), length) == 0);
        published_unsaved = false;
    }

    std::uint8_t last_command = 0;
    Bytes published;
    bool published_unsaved = false;
    int publications = 0;
};

void ApplySettings(Battery32& dev, std::uint8_t flags, std::uint8_t more) {
    using namespace link_input;
    Json::Value settings;
    Json::Value& app = settings["appSetting"];
    app["dir"] = (flags & 0x01) ? 1 : 0;
    app["battery_type"] = (flags & 0x02) ? bp::kMillivoltBatteryType : 0;
    app["version"] = (flags & 0x04) ? 2 : 1;
    app["current_ratio"] = (flags & 0x08) ? 1 : 0;
    app["battery_adjust"] = kAdjustments[(flags >> 4) & 3];
    app["group_a"] = kGains[(flags >> 6) & 3];
    app["group_b"] = kOffsets[(flags >> 6) & 3];
    app["t0"] = kEndOffsets[more & 3];
    app["t31"] = kEndOffsets[(more >> 2) & 3];
    dev.data_id_ = 1000u + (more >> 4);
    dev.InitSetting(settings);
}

class Session {
public:
    Session(Battery32& dev, LinkHost& host, Legitimate& legit, std::uint8_t addr)
        : dev_(dev), host_(host), legit_(legit), addr_(addr) {}

    void Tick() {
        dev_.RefreshStatus();
        Check();
    }

    void Deliver(const Bytes& chunk) {
        // The device gets a writable buffer of exactly the chunk's size, so that
        // any read past the chunk's end is caught.
        std::vector<unsigned char> buffer(chunk.begin(), chunk.end());
        legit_.Received(buffer.data(), buffer.size());
        const int publications = host_.publications;
        dev_.process(buffer.empty() ? reinterpret_cast<unsigned char*>(&empty_) : buffer.data(),
                     static_cast<unsigned int>(buffer.size()));
        Check();
        if (host_.publications != publications) CheckPublished();
    }

    void DeliverNull(unsigned int length) {
        dev_.process(nullptr, length);
        Check();
    }

    // A reply to whatever the device waits for (a cell reply when it waits for nothing).
    Bytes Reply(InputReader& in) {
        if (dev_.pending_cmd_ == 1 || dev_.pending_cmd_ == 0) {
            std::array<std::uint16_t, kCells> raw{};
            for (auto& v : raw) v = in.Word();
            return module::CellReplyFrame(addr_, raw);
        }
        return module::ValueReplyFrame(addr_, in.Word());
    }

private:
    void Check() {
        FUZZ_CHECK(dev_.msg_len >= 0 && dev_.msg_len <= static_cast<int>(bp::kMaxReplyBytes));
        FUZZ_CHECK(dev_.pending_cmd_ >= 0 && dev_.pending_cmd_ <= 4);
        FUZZ_CHECK(dev_.retry_count_ >= 0 && dev_.retry_count_ <= 3);
        // A device that waits for a reply waits for the one to its last command.
        if (dev_.pending_cmd_ != 0)
            FUZZ_CHECK(host_.last_command == bp::CommandForPending(dev_.pending_cmd_));
        FUZZ_CHECK(!host_.published_unsaved);
    }

    void CheckPublished() {
        Battery32_Data_t record;
        std::memcpy(&record, host_.published.data(), sizeof record);
        CellVector cells;
        std::memcpy(cells.data(), host_.published.data() + offsetof(Battery32_Data_t, cell_voltage),
                    sizeof cells);
        FUZZ_CHECK(record.data_id == dev_.data_id_);
        FUZZ_CHECK(record.status == 0);
        FUZZ_CHECK(legit_.CellsOk(cells.data()));
        FUZZ_CHECK(legit_.GroupVoltageOk(record.group_voltage, cells.data()));
        FUZZ_CHECK(legit_.CurrentOk(record.group_current));
        FUZZ_CHECK(legit_.TemperatureOk(record.temperature));
        FUZZ_CHECK(dev_.data_ready_);
    }

    Battery32& dev_;
    LinkHost& host_;
    Legitimate& legit_;
    std::uint8_t addr_;
    unsigned char empty_ = 0;
};

Bytes Spoil(Bytes reply, std::uint8_t variant, std::uint8_t addr, InputReader& in) {
    using namespace link_input;
    switch (variant % kBadReplyVariants) {
        case kBadChecksum: {
            const std::uint8_t good = WireSum(&reply[1], reply.size() - 2);
            // Any other byte, 254 and 255 included, which no sum can produce.
            reply.back() = static_cast<std::uint8_t>(good + 1 + in.Byte() % 255);
            break;
        }
        case kWrongAddress:
            reply[1] = static_cast<std::uint8_t>(addr + 1 + in.Byte() % 255);
            reply.back() = WireSum(&reply[1], reply.size() - 2);
            break;
        case kWrongLead:
            reply[0] = static_cast<std::uint8_t>(kReplyLead + 1 + in.Byte() % 255);
            break;
        case kTruncated:
            reply.resize(in.Byte() % reply.size());
            break;
        default: {
            const Bytes extra = in.TakeUpTo(1 + in.Byte() % 32);
            reply.insert(reply.end(), extra.begin(), extra.end());
            break;
        }
    }
    return reply;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::SilenceStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace link_input;
    InputReader in(data, size);
    LinkHost host;
    Battery32 dev;
    dev.addr_ = in.Byte();
    const std::uint8_t flags = in.Byte();
    const std::uint8_t more = in.Byte();
    ApplySettings(dev, flags, more);
    const std::uint8_t addr = dev.addr_;  // the address on the wire

    Legitimate legit(addr, dev);
    Session session(dev, host, legit, addr);

    while (!in.Empty()) {
        const std::uint8_t op = in.Byte();
        const std::uint8_t variant = static_cast<std::uint8_t>(op >> 3);
        switch (static_cast<Kind>(op & 7)) {
            case kTick:
                session.Tick();
                break;
            case kRawChunk:
                session.Deliver(in.TakeUpTo(in.Byte()));
                break;
            case kGoodReply:
                session.Deliver(session.Reply(in));
                break;
            case kSplitReply: {
                const Bytes reply = session.Reply(in);
                const std::size_t cut = 1 + in.Byte() % reply.size();
                session.Deliver(Bytes(reply.begin(), reply.begin() + cut));
                session.Deliver(Bytes(reply.begin() + cut, reply.end()));
                break;
            }
            case kBadReply: {
                const Bytes reply = session.Reply(in);
                session.Deliver(Spoil(reply, variant, addr, in));
                break;
            }
            case kNullChunk:
                // Also a length that would wrap any sum formed with it.
                session.DeliverNull((variant & 1) ? 0xFFFFFFFFu - in.Byte() : in.Byte());
                break;
            case kEmptyChunk:
                session.Deliver(Bytes{});
                break;
            case kNoisyReply: {
                Bytes chunk = in.TakeUpTo(variant);
                const Bytes reply = session.Reply(in);
                chunk.insert(chunk.end(), reply.begin(), reply.end());
                session.Deliver(chunk);
                break;
            }
        }
    }
    return 0;
}
