// End to end: alarms raised and cleared by battery32-run with the real
// plug-in against simulated modules whose readings change over time. Each
// episode must be one raise and one clear on the console, in the alarm log and
// for the alarm command; a restart must not raise it again; an alarm command
// that hangs or fails must not hold up polling.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "tests/tools/support/alarm_episode.h"
#include "tests/tools/support/runner_process.h"
#include "tests/tools/support/test_workspace.h"
#include "tools/alarm_log/alarm_log_file.h"

namespace tools_test {
namespace {

using namespace std::chrono_literals;

constexpr auto kGenerous = 60s;

std::string Text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> Having(const std::vector<std::string>& lines, const std::string& part) {
    std::vector<std::string> found;
    for (const auto& l : lines)
        if (Contains(l, part)) found.push_back(l);
    return found;
}

class RunnerAlarms : public PseudoTerminalTest {
protected:
    std::vector<std::string> Args(std::vector<std::string> more) {
        return RunnerArgs(dir.File("site.json"), "150", {{"--time-limit", "60"}, more});
    }
    // A shell script the alarm command runs; no shell runs it but its own line.
    std::string Script(const std::string& name, const std::string& body) {
        dir.Write(name, "#!/bin/sh\n" + body + "\n");
        ::chmod(dir.File(name).c_str(), 0755);
        return dir.File(name);
    }
};

TEST_F(RunnerAlarms, EachEpisodeIsOneRaiseAndOneClearEverywhere) {
    SimulatedLine line({EpisodeModule()});
    dir.Write("site.json", EpisodeSite(line.path()));
    const std::string notify =
        Script("notify", "env | grep '^BATTERY32_ALARM_' > \"" + dir.path() +
                             "/$BATTERY32_ALARM_RULE.$BATTERY32_ALARM_ALARM\"");
    std::vector<std::string> more = EpisodeArgs();
    more.insert(more.end(), {"--json", "--quiet", "--alarm-command", notify, "--device-log",
                             dir.File("device.log")});
    RunnerProcess run(Args(more), line.test_side_fds());
    line.Start();
    ASSERT_EQ(run.Wait(kGenerous), 0) << run.Transcript();
    EXPECT_EQ(AlarmLines(run.out()), EpisodeAlarms()) << run.Transcript();

    // The log keeps the very objects --json printed.
    const std::vector<std::string> printed = Having(run.out(), "{\"alarm\":");
    // --quiet: no round, nothing but the alarms.
    EXPECT_EQ(run.out(), printed);
    const auto log = alarm_log::ReadLog(alarm_log::LogPath(dir.File("data")));
    ASSERT_EQ(log.records.size(), printed.size());
    for (std::size_t i = 0; i < printed.size(); ++i)
        EXPECT_EQ(alarm_log::AlarmJson(log.records[i]), printed[i]);
    ASSERT_EQ(log.records.size(), 4u);
    EXPECT_EQ(log.records[0].value, 11.5f);
    EXPECT_EQ(log.records[0].name, "第3节电池");
    EXPECT_EQ(log.records[2].level, 3);

    // The command ran once per change, with the alarm in its environment.
    for (const char* file : {"cell_low.raised", "cell_low.cleared", "lost_communication.raised",
                             "lost_communication.cleared"}) {
        EXPECT_TRUE(Contains(Text(dir.File(file)), "BATTERY32_ALARM_DATA_ID=1001\n")) << file;
    }
    const std::string raised = Text(dir.File("cell_low.raised"));
    for (const char* variable :
         {"BATTERY32_ALARM_ALARM=raised\n", "BATTERY32_ALARM_VARIABLE=battery_2_value\n",
          "BATTERY32_ALARM_VALUE=11.5\n", "BATTERY32_ALARM_LIMIT=12\n", "BATTERY32_ALARM_LEVEL=2\n",
          "BATTERY32_ALARM_CODE=12;3;7;\n"}) {
        EXPECT_TRUE(Contains(raised, variable)) << variable << " not in\n" << raised;
    }
    // The device's trace of its rules shows the host's level and limit.
    EXPECT_TRUE(Contains(Text(dir.File("device.log")), "mobile:cell_low:12;3;7; level:2 value:12"));
}

// Stopped while the cell is low: the next start shows the alarm active from
// the log without raising it again, and clears it when the cell is back.
TEST_F(RunnerAlarms, RestartInTheMiddleOfAnEpisodeRaisesNothingTwice) {
    module::ModuleConfig m = EpisodeModule();
    m.changes.resize(1);
    m.changes[0].from = 0ms;
    m.changes[0].to = 1000s;
    {
        SimulatedLine line({m});
        dir.Write("site.json", EpisodeSite(line.path()));
        RunnerProcess run(Args({"--rounds", "3"}), line.test_side_fds());
        line.Start();
        ASSERT_EQ(run.Wait(kGenerous), 0) << run.Transcript();
        EXPECT_EQ(Having(run.out(), "alarm raised").size(), 1u) << run.Transcript();
    }
    m.changes[0].to = 1000ms;
    SimulatedLine line({m});
    dir.Write("site.json", EpisodeSite(line.path()));
    RunnerProcess run(Args({"--rounds", "15"}), line.test_side_fds());
    line.Start();
    ASSERT_EQ(run.Wait(kGenerous), 0) << run.Transcript();
    EXPECT_EQ(Having(run.out(), "alarm active: 第3节电池 (battery_2_value) 11.5 below 12").size(),
              1u)
        << run.Transcript();
    EXPECT_EQ(Having(run.out(), "alarm raised").size(), 0u) << run.Transcript();
    EXPECT_EQ(Having(run.out(), "alarm cleared: 第3节电池 (battery_2_value) 13.5").size(), 1u)
        << run.Transcript();
    const auto log = alarm_log::ReadLog(alarm_log::LogPath(dir.File("data")));
    ASSERT_EQ(log.records.size(), 2u);
    EXPECT_EQ(log.records[0].kind, alarm_log::AlarmKind::kRaised);
    EXPECT_EQ(log.records[1].kind, alarm_log::AlarmKind::kCleared);
}

struct CommandCase {
    const char* name;
    const char* script;
    const char* timeout;
    const char* says;
};

void PrintTo(const CommandCase& c, std::ostream* os) { *os << c.name; }

class RunnerAlarmCommand : public RunnerAlarms,
                           public ::testing::WithParamInterface<CommandCase> {};

// The cell is low from the start: the command runs at the first round. Polling
// completes every round whatever the command does, and its failure is one line.
TEST_P(RunnerAlarmCommand, NeverHoldsUpPolling) {
    module::ModuleConfig m = EpisodeModule();
    m.changes.clear();
    m.cells.weak_cell = 3;
    m.cells.weak_volts = 11.5;
    SimulatedLine line({m});
    dir.Write("site.json", EpisodeSite(line.path()));
    const std::string command = Script("command", GetParam().script);
    RunnerProcess run(
        Args({"--rounds", "12", "--alarm-command", command, "--alarm-timeout", GetParam().timeout}),
        line.test_side_fds());
    line.Start();
    ASSERT_EQ(run.Wait(kGenerous), 0) << run.Transcript();
    EXPECT_EQ(Having(run.out(), "stopped; 1001: 12 rounds").size(), 1u) << run.Transcript();
    const auto failure = Having(run.err(), "alarm command " + command +
                                               " for the alarm raised on "
                                               "1001, rule cell_low (battery_2_value): ");
    ASSERT_EQ(failure.size(), 1u) << run.Transcript();
    EXPECT_TRUE(Contains(failure[0], GetParam().says)) << failure[0];
    EXPECT_EQ(Having(run.err(), "alarm command " + command + ": 1 run, 1 failed, 0 alarms").size(),
              1u)
        << run.Transcript();
}

INSTANTIATE_TEST_SUITE_P(
    Commands, RunnerAlarmCommand,
    ::testing::Values(CommandCase{"HangingPastItsTimeLimit", "exec sleep 60", "0.3",
                                  "killed after 300 ms (its time limit)"},
                      // Still running at the last round: all rounds were polled meanwhile.
                      CommandCase{"HangingUntilTheRunnerStops", "exec sleep 60", "60",
                                  "still running when the runner stopped; killed"},
                      CommandCase{"Failing", "exit 3", "10", "exit status 3"},
                      CommandCase{"KilledBySignal", "kill -TERM $$", "10", "ended by signal 15"}),
    [](const ::testing::TestParamInfo<CommandCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tools_test
