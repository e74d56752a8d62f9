// End to end: devices sharing lines paced like real 19200-baud RS-485 lines.
// One exchange at a time (the simulator sees no collision), a silent module
// costs its neighbours nothing but its own timeouts, a partner on another port
// publishes before the device that adds it, and the notes about a line that
// cannot keep up and a device that went silent come once each.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>

#include "tests/tools/support/expected_record.h"
#include "tests/tools/support/runner_process.h"
#include "tests/tools/support/test_workspace.h"

namespace tools_test {
namespace {

using namespace std::chrono_literals;
using module::CellProfile;
using module::FaultKind;
using module::FaultRule;
using module::ModuleConfig;

constexpr auto kGenerous = 60s;
constexpr int kBaud = 19200;

ModuleConfig Module(std::uint8_t address, double volts, std::chrono::milliseconds turnaround) {
    ModuleConfig m;
    m.address = address;
    m.cells = CellProfile::Ramp(volts, volts + 0.3);
    m.cells.weak_cell = address;
    m.cells.weak_volts = volts - 1.0;
    m.current = 2.0 + address;
    m.temperature = 20.0 + address;
    m.reply_delay = turnaround;
    return m;
}

class RunnerLineSharing : public PseudoTerminalTest {
protected:
    std::vector<std::string> Args(const std::string& tick, std::vector<std::string> more) {
        return RunnerArgs(dir.File("site.json"), tick,
                          {{"--time-limit", "40", "--history-every-round"}, more});
    }
};

std::size_t CountContaining(const std::vector<std::string>& lines, const std::string& part) {
    std::size_t n = 0;
    for (const auto& line : lines) n += Contains(line, part) ? 1 : 0;
    return n;
}

// The "1003: 12 rounds (14 begun), 9 commands unanswered" part of the summary.
std::string SummaryOf(const std::vector<std::string>& lines, std::uint32_t data_id) {
    const std::string key = " " + std::to_string(data_id) + ": ";
    for (const auto& line : lines) {
        if (!Contains(line, "stopped;")) continue;
        const auto at = line.find(key);
        if (at == std::string::npos) continue;
        const auto end = line.find(';', at);
        return line.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    }
    return "";
}

// Modules 1..n with a 10 ms turnaround, and in the site file devices 1001..
// on `line` asking them.
std::vector<ModuleConfig> ModulesOnOneLine(std::uint8_t n) {
    std::vector<ModuleConfig> modules;
    for (std::uint8_t a = 1; a <= n; ++a) modules.push_back(Module(a, 12.0 + 0.4 * a, 10ms));
    return modules;
}

void WriteSite(const TempDir& dir, const SimulatedLine& line, std::uint8_t n) {
    std::vector<std::string> devices;
    for (std::uint8_t a = 1; a <= n; ++a) devices.push_back(DeviceJson(1000 + a, a, line.path()));
    dir.Write("site.json", SiteJson(devices));
}

// Device 1000 + a kept `at_least` records, each with module a's readings.
void ExpectOwnReadings(const TempDir& dir, const std::vector<ModuleConfig>& modules,
                       std::size_t at_least) {
    for (std::uint8_t a = 1; a <= modules.size(); ++a) {
        SCOPED_TRACE(a);
        const auto records =
            HistoryRecords(dir.File("data/device-" + std::to_string(1000 + a) + ".history"));
        EXPECT_GE(records.size(), at_least);
        const ExpectedRecord expected = Expect(modules[a - 1u]);
        for (const auto& r : records) EXPECT_EQ(Differences(r, 1000u + a, expected), "");
    }
}

std::uint64_t NumberBefore(const std::string& text, const std::string& word) {
    const auto at = text.find(" " + word);
    if (at == std::string::npos) return 0;
    const auto start = text.find_last_of(" (", at - 1);
    return std::strtoull(text.c_str() + start + 1, nullptr, 10);
}

// Four modules on one line take about 0.4 s a cycle at 19200 baud with a 10 ms
// turnaround: a 100 ms tick is more than the line carries.
TEST_F(RunnerLineSharing, DevicesOnOneLineNeverOverlapAndEachGetsItsOwnModulesReadings) {
    const std::vector<ModuleConfig> modules = ModulesOnOneLine(4);
    SimulatedLine line(modules, 1, kBaud);
    WriteSite(dir, line, 4);

    // A generous reply timeout: a late reply on a busy machine must not pass for a collision.
    RunnerProcess run(Args("100", {"--rounds", "4", "--reply-timeout-ms", "400"}),
                      line.test_side_fds());
    line.Start();
    ASSERT_EQ(run.Wait(kGenerous), 0) << run.Transcript();

    EXPECT_EQ(line.driver().collisions(), 0u) << run.Transcript();
    ExpectOwnReadings(dir, modules, 4);
    EXPECT_EQ(CountContaining(run.err(), "to each get a turn, more than the 100 ms tick"), 1u)
        << run.Transcript();
}

// An adapter that hears itself: every command comes back first. The runner
// takes the echo off, so the devices never see it; it says so once, drops
// the echoes garbled on the way and counts them.
TEST_F(RunnerLineSharing, AnEchoingLineIsPolledAsIfItDidNotEcho) {
    const std::vector<ModuleConfig> modules = ModulesOnOneLine(3);
    module::LineEcho echo;
    echo.on = true;
    echo.garble_every = 7;
    SimulatedLine line(modules, 1, kBaud, echo);
    WriteSite(dir, line, 3);

    RunnerProcess run(Args("0", {"--rounds", "4", "--reply-timeout-ms", "400"}),
                      line.test_side_fds());
    line.Start();
    ASSERT_EQ(run.Wait(kGenerous), 0) << run.Transcript();

    EXPECT_EQ(line.driver().collisions(), 0u) << run.Transcript();
    ExpectOwnReadings(dir, modules, 4);
    for (std::uint32_t id = 1001; id <= 1003; ++id) {
        const std::string summary = SummaryOf(run.out(), id);
        EXPECT_LE(NumberBefore(summary, "begun"), NumberBefore(summary, "rounds") + 1) << summary;
        EXPECT_EQ(summary.find("unanswered"), std::string::npos) << summary;
    }
    EXPECT_EQ(CountContaining(run.out(), ": the line echoes what is sent (local echo)"), 1u)
        << run.Transcript();
    const std::uint64_t garbled = line.driver().garbled_echoes();
    ASSERT_GE(garbled, 2u);
    EXPECT_EQ(CountContaining(run.err(), ": a garbled echo ("), 1u) << run.Transcript();
    // Counted to the end: the last command's echo may still have been on its way.
    const std::string prefix = "battery32-run: port " + line.path() + ": ";
    const auto counted = LinesStartingWith(run.err(), prefix);
    ASSERT_FALSE(counted.empty()) << run.Transcript();
    const std::uint64_t dropped = NumberBefore(" " + counted.back(), "garbled echoes dropped");
    EXPECT_TRUE(dropped == garbled || dropped + 1 == garbled) << dropped << " of " << garbled;
}

// A reply goes to its device as soon as its last byte is in: with a quiet gap
// of two seconds, the next command still follows every reply at once. A
// value reply that comes in two parts, the second within the gap, is held
// until it is whole (the device gives up on a split one).
TEST_F(RunnerLineSharing, AWholeReplyGoesAtOnceAndAPartWaitsForTheGap) {
    ModuleConfig split = Module(1, 12.6, 5ms);
    FaultRule in_two;
    in_two.kind = FaultKind::kSplit;
    in_two.command = module::kCmdGroupVoltage;
    in_two.times = 0;  // every one
    in_two.split_at = 3;
    in_two.pause = 100ms;
    split.faults.push_back(in_two);
    SimulatedLine line({split}, 1, kBaud);
    dir.Write("site.json", SiteJson({DeviceJson(1001, 1, line.path())}));

    RunnerProcess run(Args("0", {"--rounds", "3", "--gap-us", "2000000"}), line.test_side_fds());
    line.Start();
    ASSERT_EQ(run.Wait(kGenerous), 0) << run.Transcript();

    const auto records = HistoryRecords(dir.File("data/device-1001.history"));
    ASSERT_GE(records.size(), 3u);
    for (const auto& r : records) EXPECT_EQ(Differences(r, 1001, Expect(split)), "");
    const auto waits = line.driver().reply_to_command();
    EXPECT_GE(waits.count, 3u * 4u - 1u);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(waits.longest).count(), 2000)
        << "ms: a whole reply waited for the gap";
}

// Module 3 stops answering, then answers again. Its neighbours lose no round
// to it: each of its turns costs one reply timeout, nothing more.
TEST_F(RunnerLineSharing, ASilentModuleCostsItsNeighboursOnlyItsTimeouts) {
    ModuleConfig silent = Module(3, 13.0, 0ms);
    FaultRule mute;
    mute.kind = FaultKind::kSilence;
    mute.times = 0;  // every command
    silent.faults.push_back(mute);
    SimulatedLine line({Module(1, 12.5, 0ms), Module(2, 12.8, 0ms), silent}, 1, kBaud);
    dir.Write("site.json",
              SiteJson({DeviceJson(1001, 1, line.path()), DeviceJson(1002, 2, line.path()),
                        DeviceJson(1003, 3, line.path())}));

    // Silence is called after three ticks or 10 s, whichever is longer. The
    // timeout leaves room for a slow machine, and the tick for the timeout.
    RunnerProcess run(Args("500", {"--reply-timeout-ms", "250"}), line.test_side_fds());
    line.Start();
    const auto silent_note = run.WaitForLine(
        [](const std::string& l) { return Contains(l, "[1003] silent: no round completed since"); },
        20s);
    ASSERT_TRUE(silent_note) << run.Transcript();
    line.driver().WithSimulator([](module::ModuleSimulator& sim) {
        sim.Module(3).faults.clear();
        return 0;
    });
    ASSERT_TRUE(run.WaitForLine(
        [](const std::string& l) { return Contains(l, "[1003] answering again: "); }, 10s))
        << run.Transcript();
    run.Signal(SIGINT);
    ASSERT_EQ(run.Wait(kGenerous), 0) << run.Transcript();

    EXPECT_EQ(CountContaining(run.err(), "[1003] silent"), 1u) << run.Transcript();
    EXPECT_EQ(CountContaining(run.err(), "[1003] answering again"), 1u) << run.Transcript();
    EXPECT_EQ(CountContaining(run.err(), "] silent:"), 1u)
        << "only the silent module: " << run.Transcript();
    EXPECT_EQ(line.driver().collisions(), 0u);

    const std::string mute_summary = SummaryOf(run.out(), 1003);
    const std::uint64_t timeouts = NumberBefore(mute_summary, "commands unanswered");
    EXPECT_GE(timeouts, 10u) << mute_summary;
    for (std::uint32_t id : {1001u, 1002u}) {
        const std::string summary = SummaryOf(run.out(), id);
        SCOPED_TRACE(summary);
        // Every round begun was completed, but for one the stop may have cut short.
        const std::uint64_t rounds = NumberBefore(summary, "rounds");
        EXPECT_LE(std::max(rounds, NumberBefore(summary, "begun")), rounds + 1);
        EXPECT_EQ(summary.find("unanswered"), std::string::npos);
        // One turn each per tick: as many rounds as the silent module had timeouts.
        EXPECT_GE(rounds + 2, timeouts);
    }
}

// The partner answers slowly on its own line; the device that adds its
// voltage must still wait for its first record, or its own first record
// would lack the partner's voltage.
TEST_F(RunnerLineSharing, APartnerOnAnotherPortPublishesBeforeItsAddersFirstRound) {
    const ModuleConfig first = Module(1, 13.1, 0ms);
    const ModuleConfig partner = Module(2, 13.4, 40ms);
    SimulatedLine line_a({first}, 1, kBaud);
    SimulatedLine line_b({partner}, 2, kBaud);
    dir.Write("site.json", SiteJson({DeviceJson(1001, 1, line_a.path(),
                                                R"({"b_mode": "1", "group_voltage": ["1002"]})"),
                                     DeviceJson(1002, 2, line_b.path())}));
    std::vector<int> fds = line_a.test_side_fds();
    for (int fd : line_b.test_side_fds()) fds.push_back(fd);

    // A partner that timed out would no longer be waited for: room for a slow machine.
    RunnerProcess run(Args("100", {"--rounds", "2", "--reply-timeout-ms", "1000"}), fds);
    line_a.Start();
    line_b.Start();
    ASSERT_EQ(run.Wait(kGenerous), 0) << run.Transcript();

    const ExpectedRecord expect_partner = Expect(partner);
    const ExpectedRecord expect_first = Expect(first, expect_partner.group_voltage);
    const auto records = HistoryRecords(dir.File("data/device-1001.history"));
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(Differences(records.front(), 1001, expect_first), "") << "the first record";
    for (const auto& r : records) EXPECT_EQ(Differences(r, 1001, expect_first), "");
}

}  // namespace
}  // namespace tools_test
