// battery32-run alarms: the log read back for people, whole or from a time
// on, or the alarms active when it ends, with one line for what is wrong.

#include <gtest/gtest.h>

#include "tests/tools/support/runner_process.h"
#include "tests/tools/support/test_workspace.h"
#include "tools/alarm_log/alarm_log_file.h"

namespace tools_test {
namespace {

using namespace std::chrono_literals;
using alarm_log::AlarmKind;

alarm_log::AlarmRecord Alarm(AlarmKind kind, const char* variable, std::int64_t epoch) {
    alarm_log::AlarmRecord a;
    a.kind = kind;
    a.data_id = 1001;
    a.rule = "cell_low";
    a.variable = variable;
    a.value = 11.5f;
    a.limit = a.clear = 12.0f;
    a.level = 2;
    a.epoch = epoch;
    return a;
}

TEST(AlarmsCommand, PrintsTheLogWholeFromATimeOrItsActiveAlarms) {
    TempDir dir;
    {
        alarm_log::AlarmLogWriter writer(alarm_log::LogPath(dir.path()));
        ASSERT_EQ(writer.Open(), "");
        for (const auto& a : {Alarm(AlarmKind::kRaised, "battery_1_value", 1800000000),
                              Alarm(AlarmKind::kRaised, "battery_2_value", 1800000100),
                              Alarm(AlarmKind::kCleared, "battery_1_value", 1800000200)}) {
            ASSERT_EQ(writer.Append(a), "");
        }
    }
    const struct {
        std::vector<std::string> args;
        int status;
        std::vector<std::string> lines;  // each line holds its text, in order
    } cases[] = {
        {{}, 0, {"raised: (battery_1_value)", "raised: (battery_2_value)", "cleared: (battery_1"}},
        {{"--since", "1800000100"}, 0, {"raised: (battery_2_value)", "cleared: (battery_1"}},
        {{"--active"}, 0, {"raised: (battery_2_value) 11.5 below 12, level 2 major"}},
        {{"--active", "--since", "1800000101"}, 0, {}},
        {{"--since", "yesterday"}, 2, {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"alarms"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.push_back(dir.path());
        RunnerProcess run(args);
        ASSERT_EQ(run.Wait(60s), c.status) << run.Transcript();
        ASSERT_EQ(run.out().size(), c.lines.size()) << run.Transcript();
        for (std::size_t i = 0; i < c.lines.size(); ++i)
            EXPECT_TRUE(Contains(run.out()[i], c.lines[i])) << run.out()[i];
    }
    RunnerProcess missing({"alarms", dir.File("nowhere")});
    EXPECT_EQ(missing.Wait(60s), 1) << missing.Transcript();
    ASSERT_EQ(missing.err().size(), 1u) << missing.Transcript();
    EXPECT_TRUE(Contains(missing.err()[0], "nowhere/alarms.log: no alarm log")) << missing.err()[0];
}

}  // namespace
}  // namespace tools_test
