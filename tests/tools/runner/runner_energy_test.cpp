// End to end: the energy counters of battery32-run against simulated modules
// with a known current and voltage: what they count, what they leave out
// (gaps, silence), how they survive a kill -9 and a restart, a damaged file,
// and their reset.

#include <gtest/gtest.h>
#include <json/reader.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "tests/tools/support/runner_process.h"
#include "tests/tools/support/test_workspace.h"

namespace tools_test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using module::ModuleConfig;

constexpr auto kGenerous = 60s;
constexpr double kVolts = 480.0;
constexpr double kAmps = 10.0;

Json::Value Parse(const std::string& text) {
    Json::Value value;
    std::istringstream in(text);
    EXPECT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &value, nullptr)) << text;
    return value;
}

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

ModuleConfig Module(std::uint8_t address) {
    ModuleConfig m;
    m.address = address;
    m.cells = module::CellProfile::Flat(13.4);
    m.group_voltage = kVolts;
    m.current = kAmps;
    return m;
}

// The module goes quiet from `from` to `to` after the line starts.
ModuleConfig Quiet(ModuleConfig m, std::chrono::milliseconds from, std::chrono::milliseconds to) {
    module::ReadingChange quiet;
    quiet.from = from;
    quiet.to = to;
    quiet.silent = true;
    m.changes.push_back(quiet);
    return m;
}

// A device entry charging with a negative current.
std::string NegativeCharging(std::string device) {
    return device.insert(1, "\"charging_current\": \"negative\", ");
}

// A --json round line and when the test read it.
struct Seen {
    Clock::time_point at;
    Json::Value round;
};

class RunnerEnergy : public PseudoTerminalTest {
protected:
    void Site(const std::vector<ModuleConfig>& modules, bool second_negative = false) {
        line_ = std::make_unique<SimulatedLine>(modules);
        std::vector<std::string> devices;
        for (const ModuleConfig& m : modules) {
            std::string d = DeviceJson(1000 + m.address, m.address, line_->path());
            devices.push_back(second_negative && m.address == 2 ? NegativeCharging(d) : d);
        }
        dir.Write("site.json", SiteJson(devices));
    }
    std::unique_ptr<RunnerProcess> Start(const std::string& tick, std::vector<std::string> more) {
        auto run = std::make_unique<RunnerProcess>(
            RunnerArgs(dir.File("site.json"), tick, {{"--json", "--time-limit", "60"}, more}),
            line_->test_side_fds());
        line_->Start();
        return run;
    }
    // Reads --json rounds as they come until `data_id` has printed `rounds` of them.
    std::map<std::uint32_t, std::vector<Seen>> Rounds(RunnerProcess& run, std::uint32_t data_id,
                                                      std::size_t rounds) {
        std::map<std::uint32_t, std::vector<Seen>> seen;
        while (seen[data_id].size() < rounds) {
            const auto line = run.WaitForLine(
                [](const std::string& l) { return l.rfind("{\"data_id\":", 0) == 0; }, kGenerous);
            if (!line) {
                ADD_FAILURE() << "no round " << seen[data_id].size() + 1 << "\n"
                              << run.Transcript();
                break;
            }
            const Json::Value round = Parse(*line);
            seen[round["data_id"].asUInt()].push_back({Clock::now(), round});
        }
        return seen;
    }
    std::unique_ptr<SimulatedLine> line_;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Two modules at a constant 10 A and 480 V, one device charging with a
// positive current (the default), one with a negative. The energy a round line
// shows is integrated up to the readings of the round before it, from the
// first round's: the time between those two lines.
TEST_F(RunnerEnergy, ConstantCurrentAndVoltageGiveTheirProductOverTheTimeEitherSign) {
    Site({Module(1), Module(2)}, true);
    auto run = Start("250", {});
    const auto seen = Rounds(*run, 1002, 16);
    for (const std::uint32_t id : {1001u, 1002u}) {
        SCOPED_TRACE(id);
        const std::vector<Seen>& rounds = seen.at(id);
        ASSERT_GE(rounds.size(), 16u);
        const Json::Value& energy = rounds[15].round["energy"];
        const double hours = Seconds(rounds[14].at - rounds[0].at) / 3600;
        const bool charging = id == 1001;
        const double ah = energy[charging ? "charged_ah" : "discharged_ah"].asDouble();
        const double kwh = energy[charging ? "charged_kwh" : "discharged_kwh"].asDouble();
        EXPECT_NEAR(ah, kAmps * hours, 0.03 * kAmps * hours);
        EXPECT_NEAR(kwh / ah, kVolts / 1000, 1e-9) << "the power is the group voltage times it";
        EXPECT_EQ(energy[charging ? "discharged_ah" : "charged_ah"].asDouble(), 0);
        EXPECT_EQ(energy[charging ? "discharged_kwh" : "charged_kwh"].asDouble(), 0);
        EXPECT_EQ(rounds[0].round["energy"]["charged_ah"].asDouble(), 0) << "a fresh data folder";
    }
    run->Signal(SIGTERM);
    EXPECT_EQ(run->Wait(kGenerous), 0) << run->Transcript();
}

// A module that stops answering for 1.6 s: at a 200 ms tick a gap too long to
// be integrated across (more than a second) and too short to be called
// silent; at a 1 s tick one short enough to be integrated across (three
// ticks) but long enough to be called silent (--silent-after 1.3). Each adds
// nothing; every other round adds about a tick's worth.
TEST_F(RunnerEnergy, NothingIsCountedAcrossAGapOrASilence) {
    const struct {
        const char* what;
        const char* tick;
        double tick_s;
        const char* silent_after;
        std::size_t rounds;
        bool silent;
    } cases[] = {
        {"a gap", "200", 0.2, "10", 20, false},
        {"a silence", "1000", 1.0, "1.3", 6, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Site({Quiet(Module(1), 1200ms, 2800ms)});
        auto run = Start(c.tick, {"--silent-after", c.silent_after});
        const std::vector<Seen> rounds = Rounds(*run, 1001, c.rounds)[1001];
        run->Signal(SIGTERM);
        ASSERT_EQ(run->Wait(kGenerous), 0) << run->Transcript();
        EXPECT_EQ(LinesStartingWith(run->err(), "battery32-run: [1001] silent:").size(),
                  c.silent ? 1u : 0u)
            << run->Transcript();
        int unchanged = 0;
        for (std::size_t i = 1; i < rounds.size(); ++i) {
            const double step = rounds[i].round["energy"]["charged_ah"].asDouble() -
                                rounds[i - 1].round["energy"]["charged_ah"].asDouble();
            if (step == 0) {
                ++unchanged;
            } else {
                EXPECT_GT(step, 0) << i;
                EXPECT_LT(step, kAmps * 2.5 * c.tick_s / 3600)
                    << "round " << i << " counted across the gap";
            }
        }
        EXPECT_EQ(unchanged, 2) << "the first reading, and the one after the module was back";
        std::filesystem::remove_all(dir.File("data"));
    }
}

// Killed between rounds and started again: the file holds at least what the
// last round line showed (it is one round ahead), the new run starts from
// exactly what the file holds and counts nothing for the time it was away.
TEST_F(RunnerEnergy, CountersSurviveAKillAndARestartWithoutLossOrDoubleCounting) {
    Site({Module(1)});
    auto first = Start("100", {});
    const std::vector<Seen> before = Rounds(*first, 1001, 10)[1001];
    first->Signal(SIGKILL);
    first->Wait(kGenerous);
    const Json::Value kept = Parse(Read(dir.File("data/device-1001.energy")));
    const Json::Value& shown = before.back().round["energy"];
    EXPECT_GE(kept["charged_ah"].asDouble(), shown["charged_ah"].asDouble());
    EXPECT_LE(kept["charged_ah"].asDouble(), shown["charged_ah"].asDouble() + kAmps * 1.0 / 3600);
    EXPECT_EQ(kept["data_id"].asUInt(), 1001u);

    std::this_thread::sleep_for(1s);  // away for a while
    line_.reset();
    line_ = std::make_unique<SimulatedLine>(std::vector<ModuleConfig>{Module(1)});
    dir.Write("site.json", SiteJson({DeviceJson(1001, 1, line_->path())}));
    auto second = Start("100", {});
    const std::vector<Seen> after = Rounds(*second, 1001, 4)[1001];
    second->Signal(SIGTERM);
    EXPECT_EQ(second->Wait(kGenerous), 0) << second->Transcript();
    for (const char* key : {"charged_ah", "discharged_ah", "charged_kwh", "discharged_kwh"}) {
        EXPECT_EQ(after[0].round["energy"][key].asDouble(), kept[key].asDouble()) << key;
        EXPECT_EQ(after[1].round["energy"][key].asDouble(), kept[key].asDouble()) << key;
    }
    EXPECT_GT(after[3].round["energy"]["charged_ah"].asDouble(), kept["charged_ah"].asDouble());
}

// A counters file that is damaged, and one of another device, are set aside
// untouched with one line each; those devices count from zero.
TEST_F(RunnerEnergy, DamagedOrForeignCountersAreSetAside) {
    Site({Module(1), Module(2)});
    std::filesystem::create_directories(dir.File("data"));
    const std::string damaged = "{\"data_id\":1001,\"charged_ah\":12";
    const std::string foreign =
        R"({"data_id":1003,"charged_ah":1,"discharged_ah":2,"charged_kwh":3,"discharged_kwh":4,"since":0})";
    dir.Write("data/device-1001.energy", damaged);
    dir.Write("data/device-1002.energy", foreign);
    auto run = Start("150", {"--rounds", "2"});
    ASSERT_EQ(run->Wait(kGenerous), 0) << run->Transcript();
    const struct {
        std::uint32_t id;
        const char* says;
        const char* tag;
        const std::string& text;
    } cases[] = {
        {1001, "are damaged (not JSON", "damaged", damaged},
        {1002, "are not this device's (it holds device 1003's counters)", "other-device", foreign},
    };
    for (const auto& c : cases) {
        const std::string path = dir.File("data/device-" + std::to_string(c.id) + ".energy");
        const auto lines =
            LinesStartingWith(run->err(), "battery32-run: [" + std::to_string(c.id) + "] energy");
        ASSERT_EQ(lines.size(), 1u) << run->Transcript();
        EXPECT_TRUE(Contains(lines[0], path + " " + c.says)) << lines[0];
        const auto aside = lines[0].find("renamed aside to ");
        ASSERT_NE(aside, std::string::npos) << lines[0];
        const std::string moved =
            lines[0].substr(aside + 17, lines[0].find(',', aside) - aside - 17);
        EXPECT_TRUE(Contains(moved, path + ".aside-" + c.tag + "-")) << moved;
        EXPECT_EQ(Read(moved), c.text);
        const Json::Value first = Parse(LinesStartingWith(
            run->out(), "{\"data_id\":" + std::to_string(c.id) + ",\"round\":1,")[0]);
        EXPECT_EQ(first["energy"]["discharged_ah"].asDouble(), 0) << c.id;
    }
}

// reset-energy: refused while a runner holds the data folder; afterwards it
// says what the counters stood at and starts them at zero.
TEST_F(RunnerEnergy, ResetIsRefusedWhilePollingAndStartsTheCountersAtZero) {
    Site({Module(1)});
    auto run = Start("100", {});
    Rounds(*run, 1001, 5);
    const std::string data = dir.File("data");
    RunnerProcess refused({"reset-energy", data, "1001"});
    EXPECT_EQ(refused.Wait(kGenerous), 1) << refused.Transcript();
    ASSERT_EQ(refused.err().size(), 1u) << refused.Transcript();
    EXPECT_TRUE(Contains(refused.err()[0], "is in use by another battery32-run (pid "))
        << refused.err()[0];
    EXPECT_TRUE(Contains(refused.err()[0], "stop it first")) << refused.err()[0];
    run->Signal(SIGTERM);
    ASSERT_EQ(run->Wait(kGenerous), 0) << run->Transcript();
    const Json::Value kept = Parse(Read(data + "/device-1001.energy"));
    ASSERT_GT(kept["charged_ah"].asDouble(), 0);

    RunnerProcess reset({"reset-energy", data, "1001"});
    EXPECT_EQ(reset.Wait(kGenerous), 0) << reset.Transcript();
    ASSERT_EQ(reset.out().size(), 1u) << reset.Transcript();
    EXPECT_TRUE(Contains(reset.out()[0], "device 1001: energy counters reset to zero; before: in "))
        << reset.out()[0];
    const Json::Value zero = Parse(Read(data + "/device-1001.energy"));
    for (const char* key : {"charged_ah", "discharged_ah", "charged_kwh", "discharged_kwh"})
        EXPECT_EQ(zero[key].asDouble(), 0) << key;
    EXPECT_GE(zero["since"].asInt64(), kept["since"].asInt64());

    const struct {
        std::vector<std::string> args;
        int status;
        const char* says;
    } refusals[] = {
        {{"reset-energy", data}, 2, "which device (DATA_ID)?"},
        {{"reset-energy", data, "0"}, 2, "DATA_ID must be a data id 1..4294967295, got 0"},
        {{"reset-energy", data, "1001", "1002"}, 2, "unexpected argument 1002"},
        {{"reset-energy", data, "1002"}, 1, "no energy counters in"},
        {{"reset-energy", dir.File("nowhere"), "1001"}, 1, "no data folder there"},
    };
    for (const auto& r : refusals) {
        RunnerProcess bad(r.args);
        EXPECT_EQ(bad.Wait(kGenerous), r.status) << bad.Transcript();
        ASSERT_EQ(bad.err().size(), 1u) << bad.Transcript();
        EXPECT_TRUE(Contains(bad.err()[0], r.says)) << bad.err()[0];
    }
}

}  // namespace
}  // namespace tools_test
