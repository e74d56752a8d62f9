// The alarm log: records that read back as written, whole records after a
// crash, a bounded size that never loses an active alarm.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "tests/tools/support/test_workspace.h"
#include "tools/alarm_log/alarm_log_file.h"

namespace alarm_log {
namespace {

AlarmRecord Alarm(AlarmKind kind, const std::string& variable, std::int64_t epoch) {
    AlarmRecord a;
    a.kind = kind;
    a.data_id = 1001;
    a.rule = "cell_low";
    a.variable = variable;
    a.name = "第3节电池 \"weak\"\n";
    a.value = 11.9f;
    a.limit = 12.0f;
    a.clear = 12.5f;
    a.level = 2;
    a.code = "12;3;7;";
    a.epoch = epoch;
    return a;
}

std::string Text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(AlarmRecord, JsonReadsBackAsWritten) {
    AlarmRecord a = Alarm(AlarmKind::kCleared, "battery_2_value", 1796809897);
    a.value = std::nanf("");
    const std::string json = AlarmJson(a);
    EXPECT_NE(json.find("\"name\":\"第3节电池 \\\"weak\\\"\\u000a\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"value\":null"), std::string::npos) << json;
    const auto back = ParseAlarmJson(json);
    ASSERT_TRUE(back) << json;
    EXPECT_EQ(AlarmJson(*back), json);
    EXPECT_TRUE(std::isnan(back->value));
    EXPECT_FALSE(
        ParseAlarmJson(R"({"alarm":"maybe","data_id":1,"rule":"r","variable":"v","epoch":1})"));
    EXPECT_FALSE(ParseAlarmJson(json.substr(0, json.size() - 1)));
}

// Every key of the JSON, in capitals; values as the JSON shows them, strings
// unquoted, no value empty.
TEST(AlarmRecord, EnvironmentCarriesEveryKey) {
    AlarmRecord a = Alarm(AlarmKind::kRaised, "battery_2_value", 1796809897);
    a.value = std::nanf("");
    a.rule = "null";
    const std::vector<std::string> env = AlarmEnvironment(a);
    for (const char* expected :
         {"BATTERY32_ALARM_ALARM=raised", "BATTERY32_ALARM_DATA_ID=1001",
          "BATTERY32_ALARM_RULE=null", "BATTERY32_ALARM_VARIABLE=battery_2_value",
          "BATTERY32_ALARM_VALUE=", "BATTERY32_ALARM_SIDE=below", "BATTERY32_ALARM_LIMIT=12",
          "BATTERY32_ALARM_CLEAR=12.5", "BATTERY32_ALARM_LEVEL=2", "BATTERY32_ALARM_CODE=12;3;7;",
          "BATTERY32_ALARM_EPOCH=1796809897"}) {
        EXPECT_NE(std::find(env.begin(), env.end(), expected), env.end()) << expected;
    }
    EXPECT_EQ(env.size(), 13u);
}

// A writer killed in the middle of its writes leaves whole lines; a torn last
// line (a power loss) is skipped by readers and cut before the next append.
TEST(AlarmLogFile, CrashLeavesWholeRecordsAndATornLineIsCut) {
    tools_test::TempDir dir;
    const std::string path = LogPath(dir.path());
    const pid_t child = ::fork();
    if (child == 0) {
        AlarmLogWriter writer(path);
        if (!writer.Open().empty()) ::_exit(1);
        for (std::int64_t n = 0;; ++n) {
            writer.Append(
                Alarm(n % 2 ? AlarmKind::kCleared : AlarmKind::kRaised, "battery_2_value", n));
        }
    }
    while (ReadLogFile(path).records.size() < 50) ::usleep(1000);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    LogContents log = ReadLogFile(path);
    EXPECT_EQ(log.foreign_lines, 0u);
    EXPECT_EQ(log.partial_bytes, 0u);
    for (std::size_t i = 0; i < log.records.size(); ++i)
        EXPECT_EQ(log.records[i].epoch, static_cast<std::int64_t>(i));

    {
        std::ofstream torn(path, std::ios::app | std::ios::binary);
        torn << AlarmJson(Alarm(AlarmKind::kRaised, "battery_7_value", 99)).substr(0, 40);
    }
    EXPECT_EQ(ReadLogFile(path).partial_bytes, 40u);
    AlarmLogWriter writer(path);
    std::size_t cut = 0;
    ASSERT_EQ(writer.Open(&cut), "");
    EXPECT_EQ(cut, 40u);
    ASSERT_EQ(writer.Append(Alarm(AlarmKind::kRaised, "battery_8_value", 100)), "");
    log = ReadLogFile(path);
    EXPECT_EQ(log.partial_bytes, 0u);
    EXPECT_EQ(log.foreign_lines, 0u);
    EXPECT_EQ(log.records.back().variable, "battery_8_value");
}

// Past its bound the log turns over, the new file opening with the alarms
// still active: however often it turns, the two files know every active
// alarm, the oldest included, and nothing that was cleared.
TEST(AlarmLogFile, TurningOverKeepsEveryActiveAlarm) {
    tools_test::TempDir dir;
    const std::string path = LogPath(dir.path());
    const std::size_t line = AlarmJson(Alarm(AlarmKind::kRaised, "battery_1_value", 1)).size() + 1;
    AlarmLogWriter writer(path, 4 * line);
    ASSERT_EQ(writer.Open(), "");
    ASSERT_EQ(writer.Append(Alarm(AlarmKind::kRaised, "battery_0_value", 1)), "");
    for (int n = 0; n < 20; ++n) {
        ASSERT_EQ(writer.Append(Alarm(AlarmKind::kRaised, "battery_1_value", 2 + 2 * n)), "");
        ASSERT_EQ(writer.Append(Alarm(AlarmKind::kCleared, "battery_1_value", 3 + 2 * n)), "");
    }
    EXPECT_LE(std::filesystem::file_size(path), 4 * line);
    EXPECT_LE(std::filesystem::file_size(OlderPath(path)), 4 * line);
    const ActiveAlarms active = ActiveAtEnd(ReadLog(path));
    ASSERT_EQ(active.size(), 1u);
    EXPECT_EQ(active.list()[0].variable, "battery_0_value");
    EXPECT_EQ(active.list()[0].epoch, 1);  // when it was raised
    EXPECT_EQ(Text(path).rfind("{\"alarm\":\"active\"", 0), 0u) << Text(path);

    // A run that stopped between the turn and the opening list: the next
    // opens the new file with it.
    std::filesystem::remove(path);
    AlarmLogWriter again(path, 4 * line);
    ASSERT_EQ(again.Open(), "");
    EXPECT_EQ(ActiveAtEnd(ReadLogFile(path)).size(), 1u);
}

}  // namespace
}  // namespace alarm_log
