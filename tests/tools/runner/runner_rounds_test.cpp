// End to end: battery32-run with the real plug-in against simulated modules on
// a pseudo-terminal, checking what it publishes and stores.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/reader.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "tests/tools/support/expected_record.h"
#include "tests/tools/support/runner_process.h"
#include "tests/tools/support/test_workspace.h"
#include "tools/module/module_simulator.h"

namespace tools_test {
namespace {

using namespace std::chrono_literals;
using module::CellProfile;
using module::FaultKind;
using module::FaultRule;
using module::ModuleConfig;

constexpr auto kGenerous = 60s;
// Long enough for a round even on a busy machine under emulation: a reply
// that came after the next tick's resend would be taken for the next command's.
constexpr const char* kTick = "150";

ModuleConfig Module(std::uint8_t address, CellProfile cells, double current, double temperature) {
    ModuleConfig m;
    m.address = address;
    m.cells = cells;
    m.current = current;
    m.temperature = temperature;
    return m;
}

class RunnerRounds : public PseudoTerminalTest {
protected:
    std::vector<std::string> Args(const std::string& site, std::vector<std::string> more) {
        return RunnerArgs(site, kTick, {{"--time-limit", "30", "--history-every-round"}, more});
    }
};

// The "stopped; 1005: 3 rounds (4 begun)" summary, as (completed, begun).
std::pair<int, int> RoundsOf(const std::vector<std::string>& lines, std::uint32_t data_id) {
    const std::string key = std::to_string(data_id) + ": ";
    for (const auto& line : lines) {
        if (line.find("stopped; ") == std::string::npos) continue;
        const auto at = line.find(key);
        if (at == std::string::npos) continue;
        const int done = std::atoi(line.c_str() + at + key.size());
        const auto begun_at = line.find('(', at);
        const auto next = line.find(';', at);
        int begun = done;
        if (begun_at != std::string::npos && (next == std::string::npos || begun_at < next)) {
            begun = std::atoi(line.c_str() + begun_at + 1);
        }
        return {done, begun};
    }
    return {-1, -1};
}

// The round numbers of one device's records among --json output lines; any line
// that is not a JSON object fails the test.
std::vector<int> PublishedRounds(const std::vector<std::string>& lines, std::uint32_t data_id) {
    std::vector<int> rounds;
    for (const auto& text : lines) {
        Json::Value v;
        std::istringstream in(text);
        if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &v, nullptr) || !v.isObject()) {
            ADD_FAILURE() << "not a JSON record: " << text;
            continue;
        }
        if (v["data_id"].asUInt() == data_id) rounds.push_back(v["round"].asInt());
    }
    return rounds;
}

TEST_F(RunnerRounds, SharedLinePublishesTheSimulatedValuesOfBothDevices) {
    const ModuleConfig partner = Module(2, CellProfile::Flat(13.37), 7.5, 30.0);
    ModuleConfig first = Module(1, CellProfile::Ramp(13.20, 13.80), 7.5, 23.45);
    first.cells.weak_cell = 5;
    first.cells.weak_volts = 12.5;
    SimulatedLine line({first, partner});
    dir.Write(
        "site.json",
        SiteJson({DeviceJson(1001, 1, line.path(), R"({"b_mode": "1", "group_voltage": ["1002"]})"),
                  DeviceJson(1002, 2, line.path())}));

    RunnerProcess run(Args(dir.File("site.json"), {"--rounds", "3", "--json"}),
                      line.test_side_fds());
    line.Start();
    ASSERT_EQ(run.Wait(kGenerous), 0) << run.Transcript();

    const ExpectedRecord expect_partner = Expect(partner);
    const ExpectedRecord expect_first = Expect(first, expect_partner.group_voltage);
    struct Case {
        std::uint32_t id;
        const ExpectedRecord& expected;
    };
    for (const Case& c : {Case{1001, expect_first}, Case{1002, expect_partner}}) {
        SCOPED_TRACE(c.id);
        const auto records =
            HistoryRecords(dir.File("data/device-" + std::to_string(c.id) + ".history"));
        ASSERT_GE(records.size(), 3u);
        for (const auto& r : records) EXPECT_EQ(Differences(r, c.id, c.expected), "");
    }

    // Every stdout line is one JSON record with every field of the record.
    int published_1001 = 0;
    for (const auto& text : run.out()) {
        Json::Value v;
        std::istringstream in(text);
        ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &v, nullptr)) << text;
        for (const char* field : {"data_id", "round", "time", "cell_voltage", "group_voltage",
                                  "group_current", "status", "temperature"}) {
            EXPECT_TRUE(v.isMember(field)) << field << " missing in " << text;
        }
        ASSERT_EQ(v["cell_voltage"].size(), 32u) << text;
        if (v["data_id"].asUInt() != 1001) continue;
        ++published_1001;
        EXPECT_NEAR(v["group_voltage"].asDouble(), expect_first.group_voltage, 1e-3);
        EXPECT_NEAR(v["cell_voltage"][4].asDouble(), 12.5, 1e-6);  // the weak cell
        EXPECT_NEAR(v["temperature"].asDouble(), 23.45, 1e-5);
    }
    EXPECT_GE(published_1001, 3);
}

struct FaultCase {
    const char* name;
    FaultKind kind;
    std::uint8_t command;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class RunnerFaults : public RunnerRounds, public ::testing::WithParamInterface<FaultCase> {};

// Each fault strikes once, in the second round. It may cost that round, no
// more: polling recovers, and nothing wrong is ever published.
TEST_P(RunnerFaults, CostAtMostTheirRound) {
    ModuleConfig module = Module(5, CellProfile::Ramp(13.0, 13.9), 3.2, 21.5);
    FaultRule rule;
    rule.kind = GetParam().kind;
    rule.command = GetParam().command;
    rule.first = 2;
    rule.times = 1;
    rule.delay = 40ms;  // a late reply, still within the tick
    module.faults.push_back(rule);
    SimulatedLine line({module});
    dir.Write("site.json", SiteJson({DeviceJson(1005, 5, line.path())}));

    RunnerProcess run(Args(dir.File("site.json"), {"--rounds", "3", "--json"}),
                      line.test_side_fds());
    line.Start();
    ASSERT_EQ(run.Wait(kGenerous), 0) << run.Transcript();

    const auto stats =
        line.driver().WithSimulator([](module::ModuleSimulator& sim) { return sim.Stats(5); });
    ASSERT_EQ(stats.faults.count(rule.kind), 1u) << "the fault never struck";
    EXPECT_EQ(stats.faults.at(rule.kind), 1u);

    EXPECT_EQ(PublishedRounds(run.out(), 1005), (std::vector<int>{1, 2, 3})) << run.Transcript();
    // Rounds begun appear only in the closing note (on stderr with --json).
    const auto rounds = RoundsOf(run.err(), 1005);
    EXPECT_EQ(rounds.first, 3) << run.Transcript();
    EXPECT_LE(rounds.second - rounds.first, 1) << run.Transcript();

    const auto records = HistoryRecords(dir.File("data/device-1005.history"));
    EXPECT_EQ(records.size(), 3u);
    const ExpectedRecord expected = Expect(module);
    for (const auto& r : records) EXPECT_EQ(Differences(r, 1005, expected), "");
}

INSTANTIATE_TEST_SUITE_P(
    EachFault, RunnerFaults,
    ::testing::Values(FaultCase{"SilenceOnCells", FaultKind::kSilence, 0xA1},
                      FaultCase{"SilenceOnCurrent", FaultKind::kSilence, 0xA3},
                      FaultCase{"GarbageBeforeCells", FaultKind::kGarbage, 0xA1},
                      FaultCase{"GarbageBeforeGroupVoltage", FaultKind::kGarbage, 0xA2},
                      FaultCase{"BadChecksumOnCells", FaultKind::kBadChecksum, 0xA1},
                      FaultCase{"BadChecksumOnTemperature", FaultKind::kBadChecksum, 0xA4},
                      FaultCase{"WrongAddressOnCells", FaultKind::kWrongAddress, 0xA1},
                      FaultCase{"WrongAddressOnGroupVoltage", FaultKind::kWrongAddress, 0xA2},
                      FaultCase{"SplitCells", FaultKind::kSplit, 0xA1},
                      FaultCase{"SplitCurrent", FaultKind::kSplit, 0xA3},
                      FaultCase{"DelayedGroupVoltage", FaultKind::kDelay, 0xA2}),
    [](const ::testing::TestParamInfo<FaultCase>& info) { return std::string(info.param.name); });

// --trace: each command and each reply on one line, a cell reply that came
// through the line in pieces too, and the reply that ends a round before the
// round's line.
TEST_F(RunnerRounds, TraceShowsEachCommandAndEachReplyOnOneLine) {
    RunnerProcess run(RunnerArgs("--simulate", kTick, {{"--trace", "--rounds", "1"}}));
    ASSERT_EQ(run.Wait(kGenerous), 0) << run.Transcript();
    const auto& out = run.out();
    const auto at = [&](const std::string& part) {
        for (std::size_t i = 0; i < out.size(); ++i)
            if (Contains(out[i], part)) return i;
        return out.size();
    };
    const std::size_t command = at(" > FE FE 01 A1 A2 (from 1001)");
    ASSERT_LT(command + 1, out.size()) << run.Transcript();
    const std::string& reply = out[command + 1];
    const std::string lead = "battery32-run:   ";
    ASSERT_EQ(reply.compare(lead.size(), 5, "/dev/"), 0) << reply;
    const std::size_t bytes_at = reply.find(" < ED 01 ");
    ASSERT_NE(bytes_at, std::string::npos) << reply;
    // 67 bytes, then whom it went to; the simulated line hands it over in pieces.
    EXPECT_EQ(reply.find(" (to 1001, in "), bytes_at + 3 + 67 * 3 - 1) << reply;
    EXPECT_LT(at(" < ED 01 09 E2 EC (to 1001)"), at("[1001] round 1 ")) << run.Transcript();
}

// A reader that never reads (a stuck log pipe, a paused terminal) stops
// neither polling nor a stop signal: what it does not take is dropped and
// counted, and the pipe's description, which the runner shares with whoever
// started it, is left blocking for them.
TEST_F(RunnerRounds, OutputNobodyReadsStopsNeitherPollingNorTheStopSignal) {
    const std::string pipe = dir.File("stuck-reader");
    ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
    const int reader = ::open(pipe.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    RunnerProcess run(
        RunnerArgs("--simulate", "0", {{"--baud", "0", "--trace", "--history-every-round"}}),
        {reader}, pipe);
    // Far more lines than the pipe and the runner's own buffer hold.
    const std::string history = dir.File("data/device-1001.history");
    const auto enough = [&] {
        std::error_code ec;
        return std::filesystem::file_size(history, ec) >= 400 * 152 && !ec;
    };
    for (int i = 0; i < 600 && !enough(); ++i) {
        run.WaitForLine([](const std::string&) { return false; }, 50ms);
    }
    ASSERT_TRUE(enough()) << run.Transcript();
    std::ifstream info("/proc/" + std::to_string(run.pid()) + "/fdinfo/1");
    std::string field, flags;
    while (info >> field >> flags && field != "flags:") {
    }
    ASSERT_EQ(field, "flags:");
    EXPECT_EQ(std::stoi(flags, nullptr, 8) & O_NONBLOCK, 0) << flags;
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(kGenerous), 0) << run.Transcript();
    const auto dropped = LinesStartingWith(run.err(), "battery32-run: ");
    ASSERT_EQ(dropped.size(), 1u) << run.Transcript();
    EXPECT_TRUE(Contains(dropped[0], " lines dropped: standard output was not read")) << dropped[0];
    ::close(reader);
}

// Standard output in a file that reaches the file size limit: a failed write,
// said once, while polling goes on; not a death by SIGXFSZ.
TEST_F(RunnerRounds, OutputPastTheFileSizeLimitIsAFailedWrite) {
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit small = before;
    small.rlim_cur = 16 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    RunnerProcess run(
        RunnerArgs("--simulate", "0", {{"--baud", "0", "--trace", "--rounds", "100"}}), {},
        dir.File("out"));
    ::setrlimit(RLIMIT_FSIZE, &before);
    EXPECT_EQ(run.Wait(kGenerous), 0) << run.Transcript();
    const auto problems = LinesStartingWith(run.err(), "battery32-run: ");
    ASSERT_EQ(problems.size(), 1u) << run.Transcript();
    EXPECT_EQ(problems[0],
              "battery32-run: standard output: cannot write (File too large); its lines are lost");
}

}  // namespace
}  // namespace tools_test
