// End to end: restarting from the cached record, and lines that fail or vanish.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "tests/tools/support/expected_record.h"
#include "tests/tools/support/runner_process.h"
#include "tests/tools/support/test_workspace.h"

namespace tools_test {
namespace {

using namespace std::chrono_literals;
using module::CellProfile;
using module::ModuleConfig;

constexpr auto kGenerous = 60s;

ModuleConfig Module(std::uint8_t address, double volts) {
    ModuleConfig m;
    m.address = address;
    m.cells = CellProfile::Flat(volts);
    m.current = 4.0;
    m.temperature = 22.0;
    return m;
}

class RunnerLines : public PseudoTerminalTest {
protected:
    std::vector<std::string> Args(std::vector<std::string> more) {
        return RunnerArgs(
            dir.File("site.json"), "150",
            {{"--reopen-ms", "100", "--time-limit", "30", "--history-every-round"}, more});
    }
    static std::function<bool(const std::string&)> Having(const std::string& part) {
        return [part](const std::string& line) { return Contains(line, part); };
    }
};

// After a restart the partner's last record is loaded from its history and
// answers lookups at once: with the partner's line gone, the first device's
// very first new round still adds the partner's (cached) voltage.
TEST_F(RunnerLines, RestartAnswersLookupsFromTheCachedRecord) {
    const std::string partner_history = dir.File("data/device-1002.history");
    const std::string partner_app = R"({"b_mode": "1", "group_voltage": ["1002"]})";
    {
        SimulatedLine line({Module(1, 13.1), Module(2, 13.6)});
        dir.Write("site.json", SiteJson({DeviceJson(1001, 1, line.path(), partner_app),
                                         DeviceJson(1002, 2, line.path())}));
        RunnerProcess first(Args({"--rounds", "2"}), line.test_side_fds());
        line.Start();
        ASSERT_EQ(first.Wait(kGenerous), 0) << first.Transcript();
    }
    const auto before = HistoryRecords(partner_history);
    ASSERT_GE(before.size(), 2u);
    const std::size_t first_run_records =
        HistoryRecords(dir.File("data/device-1001.history")).size();
    const float cached_voltage = before.back().group_voltage;

    const std::string gone = dir.File("no-such-port");
    SimulatedLine line({Module(1, 13.1)});
    dir.Write("site.json",
              SiteJson({DeviceJson(1001, 1, line.path(), partner_app), DeviceJson(1002, 2, gone)}));
    RunnerProcess second(Args({}), line.test_side_fds());
    line.Start();
    ASSERT_TRUE(second.WaitForLine(Having("[1001] round 2"), kGenerous)) << second.Transcript();
    second.Signal(SIGTERM);
    EXPECT_EQ(second.Wait(kGenerous), 0) << second.Transcript();

    // The lookup is answered before the first new round.
    char group[32];
    std::snprintf(group, sizeof group, "group %.2f V", static_cast<double>(cached_voltage));
    int cached_line = -1, first_round = -1;
    for (int i = 0; i < static_cast<int>(second.out().size()); ++i) {
        const std::string& l = second.out()[i];
        if (cached_line < 0 && Contains(l, "[1002] cached record") && Contains(l, group))
            cached_line = i;
        if (first_round < 0 && Contains(l, "] round ")) first_round = i;
    }
    ASSERT_GE(cached_line, 0) << second.Transcript();
    EXPECT_LT(cached_line, first_round) << second.Transcript();

    const auto after = HistoryRecords(dir.File("data/device-1001.history"));
    ASSERT_GE(after.size(), first_run_records + 2);
    EXPECT_EQ(Differences(after[first_run_records], 1001, Expect(Module(1, 13.1), cached_voltage)),
              "");
    EXPECT_EQ(HistoryRecords(partner_history).size(), before.size());

    // The missing port is reported once, however many retries were made.
    EXPECT_EQ(
        LinesStartingWith(second.err(), "battery32-run: port " + gone + ": cannot open").size(), 1u)
        << second.Transcript();
}

// A line named by a link (as /dev/serial/by-id names adapters) that vanishes
// is reported once, reopened by name when the link is back, now leading to
// another device node, reported once more with that node, and polled again.
// Meanwhile its device goes silent and raises its lost-communication alarm,
// cleared by its first round after.
TEST_F(RunnerLines, VanishedLineIsReopenedByNameWhereverItsLinkNowLeads) {
    const std::string link = dir.File("ttyBATTERY");
    auto line = std::make_unique<SimulatedLine>(std::vector<ModuleConfig>{Module(3, 13.3)});
    ASSERT_EQ(::symlink(line->path().c_str(), link.c_str()), 0);
    dir.Write("site.json", SiteJson({DeviceJson(1003, 3, link)}));

    RunnerProcess run(Args({"--silent-after", "0.5"}), line->test_side_fds());
    line->Start();
    ASSERT_TRUE(run.WaitForLine(Having("[1003] round 2"), kGenerous)) << run.Transcript();

    // The name goes before the line: once the line is closed its number may be
    // handed to another test's pseudo-terminal, which the runner must not reach.
    // The replacement is made first, so that it cannot get the same number.
    ::unlink(link.c_str());
    auto replacement = std::make_unique<SimulatedLine>(std::vector<ModuleConfig>{Module(3, 13.3)});
    ASSERT_NE(replacement->path(), line->path());
    line->Unplug();
    ASSERT_TRUE(run.WaitForLine(Having(": lost ("), kGenerous)) << run.Transcript();
    // Several retries while it is away, and the silence period passes.
    ASSERT_TRUE(run.WaitForLine(Having("alarm raised: communication (link)"), kGenerous))
        << run.Transcript();

    replacement->Start();
    ASSERT_EQ(::symlink(replacement->path().c_str(), link.c_str()), 0);
    ASSERT_TRUE(run.WaitForLine(Having(": back"), kGenerous)) << run.Transcript();
    // A round after the line came back.
    ASSERT_TRUE(run.WaitForLine(Having("[1003] round"), kGenerous)) << run.Transcript();
    run.Signal(SIGINT);
    EXPECT_EQ(run.Wait(kGenerous), 0) << run.Transcript();

    const std::string prefix = "battery32-run: port " + link;
    int lost = 0, back = 0;
    for (const auto& l : LinesStartingWith(run.err(), prefix)) {
        lost += Contains(l, ": lost (");
        back += Contains(l, ": back, device node " + replacement->path() + ", polling");
    }
    EXPECT_EQ(lost, 1) << run.Transcript();
    EXPECT_EQ(back, 1) << run.Transcript();
    const auto silent = LinesStartingWith(run.err(), "battery32-run: [1003] silent: ");
    ASSERT_EQ(silent.size(), 1u) << run.Transcript();
    EXPECT_TRUE(Contains(silent[0], "; its port is lost, polling resumes when it is back"))
        << silent[0];
    EXPECT_EQ(LinesStartingWith(run.out(), "[1003] ").size() -
                  LinesStartingWith(run.out(), "[1003] round").size(),
              2u)
        << "one raise and one clear: " << run.Transcript();
    EXPECT_EQ(LinesStartingWith(run.out(), prefix + ": open at 19200 baud, 8N1, device node " +
                                               line->path() + ", for device 1003")
                  .size(),
              1u)
        << run.Transcript();
    for (const auto& r : HistoryRecords(dir.File("data/device-1003.history"))) {
        EXPECT_EQ(Differences(r, 1003, Expect(Module(3, 13.3))), "");
    }
}

// scan over a line with modules at 1, 2 and 4, an echoing adapter and a
// module at 5 that answers as 6: who answered, with their first cells, the
// wrong address, the silent 3, the echo.
TEST_F(RunnerLines, ScanListsWhoAnswers) {
    ModuleConfig strayed = Module(5, 13.0);
    module::FaultRule as_six;
    as_six.kind = module::FaultKind::kWrongAddress;
    as_six.other_address = 6;
    as_six.times = 0;
    strayed.faults.push_back(as_six);
    module::LineEcho echo;
    echo.on = true;
    SimulatedLine line({Module(1, 13.1), Module(2, 13.25), Module(4, 12.9), strayed}, 1, 19200,
                       echo);
    RunnerProcess run({"scan", line.path(), "--addresses", "1-0x05"}, line.test_side_fds());
    line.Start();
    ASSERT_EQ(run.Wait(kGenerous), 0) << run.Transcript();

    EXPECT_EQ(run.out().size(), 6u) << run.Transcript();
    EXPECT_TRUE(run.err().empty()) << run.Transcript();
    EXPECT_EQ(
        LinesStartingWith(run.out(), "0x01  answered: cells 1-4 13.10 13.10 13.10 13.10 V").size(),
        1u)
        << run.Transcript();
    EXPECT_EQ(
        LinesStartingWith(run.out(), "0x02  answered: cells 1-4 13.25 13.25 13.25 13.25 V").size(),
        1u)
        << run.Transcript();
    EXPECT_TRUE(LinesStartingWith(run.out(), "0x03").empty()) << run.Transcript();
    EXPECT_EQ(LinesStartingWith(run.out(), "0x04  answered: cells 1-4 12.90").size(), 1u)
        << run.Transcript();
    EXPECT_EQ(LinesStartingWith(run.out(), "0x05  a reply from 0x06 came instead").size(), 1u)
        << run.Transcript();
    EXPECT_EQ(run.out().back(),
              "battery32-run: 3 of 5 addresses answered: 0x01, 0x02, 0x04; 1 reply from "
              "another address; the line echoes what is sent (taken off before the replies)");
    EXPECT_EQ(line.driver().collisions(), 0u);
}

// A module that never answers: nothing is published, and a run that was to
// complete rounds says so with its exit status when the time limit ends it.
TEST_F(RunnerLines, SilentModuleEndsAtTheTimeLimit) {
    SimulatedLine line({Module(9, 13.0)});  // listens on 9; the device asks 8
    dir.Write("site.json", SiteJson({DeviceJson(1008, 8, line.path())}));
    // The later --time-limit overrides the fixture's.
    RunnerProcess run(Args({"--rounds", "1", "--time-limit", "1"}), line.test_side_fds());
    line.Start();
    EXPECT_EQ(run.Wait(kGenerous), 3) << run.Transcript();
    EXPECT_TRUE(LinesStartingWith(run.out(), "[1008]").empty()) << run.Transcript();
    const auto stats = line.driver().WithSimulator(
        [](module::ModuleSimulator& sim) { return sim.ignored_commands(); });
    EXPECT_GT(stats, 0u) << "the device never asked";
}

// A runner held for longer than it takes to call a device silent (SIGSTOP,
// Ctrl-Z) blames neither the line nor the module once it goes on: it says it
// was held, and nothing about falling behind, silence or unanswered commands.
TEST_F(RunnerLines, HeldRunnerBlamesNeitherTheLineNorTheModule) {
    SimulatedLine line({Module(1, 13.2)});
    dir.Write("site.json", SiteJson({DeviceJson(1001, 1, line.path())}));
    RunnerProcess run(Args({"--time-limit", "60"}), line.test_side_fds());
    line.Start();
    ASSERT_TRUE(run.WaitForLine(Having("[1001] round 3 "), kGenerous)) << run.Transcript();
    run.Signal(SIGSTOP);
    std::this_thread::sleep_for(11s);  // past the 10 s after which a device is called silent
    run.Signal(SIGCONT);
    ASSERT_TRUE(run.WaitForLine(Having("battery32-run: the runner was held for 1"), kGenerous))
        << run.Transcript();
    ASSERT_TRUE(run.WaitForLine(Having("[1001] round 8 "), kGenerous)) << run.Transcript();
    run.Signal(SIGTERM);
    EXPECT_EQ(run.Wait(kGenerous), 0) << run.Transcript();
    const std::string all = run.Transcript();
    for (const char* blame : {"silent", "to each get a turn", "answering again", "unanswered"}) {
        EXPECT_FALSE(Contains(all, blame)) << blame << "\n" << all;
    }
}

}  // namespace
}  // namespace tools_test
