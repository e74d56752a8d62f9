#include "tools/runner/outputs/web/web_api.h"

#include <json/writer.h>
#include <time.h>

#include "tools/common/command_line.h"
#include "tools/common/time_text.h"
#include "tools/record/record_format.h"

namespace runner::outputs {
namespace {

std::string Quoted(const std::string& text) { return Json::valueToQuotedString(text.c_str()); }

// "YYYY-MM-DD hh:mm:ss" in local time, quoted; null for the epoch (never).
std::string TimeOrNull(std::chrono::system_clock::time_point when) {
    const std::string text = time_text::LocalTime(when);
    return text.empty() ? "null" : Quoted(text);
}

// A comparable number for a local wall-clock time, the way records are stamped.
std::int64_t TimeKey(int year, int month, int day, int hour, int minute, int second) {
    return ((((static_cast<std::int64_t>(year) * 13 + month) * 32 + day) * 24 + hour) * 60 +
            minute) *
               60 +
           second;
}

// Whether the date of `t` is on the calendar (no 30 February).
bool DayExists(const tm& t) {
    tm day{};
    day.tm_year = t.tm_year;
    day.tm_mon = t.tm_mon;
    day.tm_mday = t.tm_mday;
    ::timegm(&day);  // moves a day past the month's end into the next month
    return day.tm_mon == t.tm_mon && day.tm_mday == t.tm_mday;
}

}  // namespace

std::string DeviceJson(const DeviceStatus& s, const std::string& record_json,
                       std::uint64_t history_records) {
    std::string out = "{\"data_id\":" + std::to_string(s.data_id);
    out += ",\"name\":" + Quoted(s.name) + ",\"port\":" + Quoted(s.port);
    out += std::string(",\"state\":\"") + line::LinkStateName(s.state) + "\"";
    out += ",\"silent_since\":" + TimeOrNull(s.silent_since);
    out += std::string(",\"stale\":") + (s.stale ? "true" : "false");
    out += ",\"last_round\":" + TimeOrNull(s.last_round);
    out += ",\"rounds\":" + std::to_string(s.rounds);
    out += ",\"rounds_started\":" + std::to_string(s.rounds_started);
    out += ",\"abandoned\":" + std::to_string(s.abandoned);
    out += ",\"resends\":" + std::to_string(s.resends);
    out += ",\"unanswered\":" + std::to_string(s.unanswered);
    out += ",\"wrong_replies\":" + std::to_string(s.wrong_replies);
    out += ",\"polls\":" + std::to_string(s.polls);
    out += ",\"errors\":" + std::to_string(s.errors);
    out += ",\"history_records\":" + std::to_string(history_records);
    out += ",\"record\":" + (record_json.empty() ? std::string("null") : record_json);
    return out + "}";
}

std::int64_t StampKey(const ttime& t) {
    return TimeKey(static_cast<int>(record::StampYear(t)), t.month, t.day, t.hour, t.minute,
                   t.second);
}

std::optional<std::int64_t> ParseQueryTime(const std::string& text) {
    static const char kPattern[] = "0000-00-00 00:00:00";  // 0: a digit
    tm local{};
    if (text.size() == sizeof kPattern - 1) {
        for (std::size_t i = 0; i < text.size(); ++i) {
            const bool digit = text[i] >= '0' && text[i] <= '9';
            if (kPattern[i] == '0' ? !digit : text[i] != kPattern[i]) return std::nullopt;
        }
        // strptime checks each field's range, but lets the seconds reach 61
        // and any month have 31 days.
        if (::strptime(text.c_str(), "%Y-%m-%d %H:%M:%S", &local) == nullptr || local.tm_sec > 60 ||
            !DayExists(local)) {
            return std::nullopt;
        }
    } else {
        const auto epoch = command_line::ParseInteger(text, 0, 999999999999);  // twelve digits
        if (!epoch) return std::nullopt;
        const time_t when = static_cast<time_t>(*epoch);
        if (static_cast<std::int64_t>(when) != *epoch) return std::nullopt;  // 32-bit time_t
        if (::localtime_r(&when, &local) == nullptr) return std::nullopt;
    }
    return TimeKey(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                   local.tm_min, local.tm_sec);
}

}  // namespace runner::outputs
