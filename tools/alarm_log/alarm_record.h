#pragma once
// One alarm record: an alarm raised or cleared, or found active when a log
// file begins. The same object is the runner's --json alarm line, a line of
// the alarm log and what every output of the runner is told; the environment
// of the alarm command carries its fields as BATTERY32_ALARM_<KEY>.
//
// {"alarm":"raised","data_id":1001,"rule":"cell_low","variable":"battery_2_value",
//  "name":"第3节电池","value":11.5,"side":"below","limit":12,"clear":12.5,"level":2,
//  "code":"12;3;7;","time":"2026-12-08 16:21:45","epoch":1796746905}

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace alarm_log {

enum class AlarmKind {
    kRaised,
    kCleared,
    kActive,  // active at that moment, raised earlier (a log's opening list, a restart)
};

struct AlarmRecord {
    AlarmKind kind = AlarmKind::kRaised;
    std::uint32_t data_id = 0;
    std::string rule;      // the rule's key in the site file
    std::string variable;  // the name the device submits the value under
    std::string name;      // the device's display name for it
    float value = 0;       // what was seen; not a number: none (shown as null)
    bool above = false;    // the side of the limit that raises it
    float limit = 0;
    float clear = 0;  // the value at which it clears
    int level = 1;    // 1 warning, 2 major, 3 critical
    std::string code;
    std::int64_t epoch = 0;  // when, in seconds since 1970 (UTC)
};

// "raised", "cleared", "active".
const char* KindName(AlarmKind kind);
// "warning", "major", "critical" ("level N" for other numbers).
std::string LevelName(int level);

// The record as one JSON object on one line, keys in the order above.
std::string AlarmJson(const AlarmRecord& alarm);
// A line AlarmJson wrote; nothing for any other text.
std::optional<AlarmRecord> ParseAlarmJson(std::string_view line);

// The record for people:
// "[1001] 16:21:45 alarm raised: 第3节电池 (battery_2_value) 11.5 below 12, level 2 major,
//  code 12;3;7; (rule cell_low)"; a clear names the value it cleared at.
// Without `with_time` the time is left out (for the journal, which stamps the
// line itself).
std::string AlarmText(const AlarmRecord& alarm, bool with_time = true);

// The environment of the alarm command: "BATTERY32_ALARM_" + each JSON key in
// capitals, "=" and its value as the JSON shows it, strings unquoted.
std::vector<std::string> AlarmEnvironment(const AlarmRecord& alarm);

// The alarm an AlarmRecord is about: one rule on one variable of one device.
using AlarmKey = std::pair<std::uint32_t, std::pair<std::string, std::string>>;
inline AlarmKey KeyOf(const AlarmRecord& alarm) {
    return {alarm.data_id, {alarm.rule, alarm.variable}};
}

}  // namespace alarm_log
