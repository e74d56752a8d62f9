#include "tools/runner/web_api.h"

#include <json/writer.h>
#include <time.h>

#include "tools/common/command_line.h"

namespace runner::web {
namespace {

std::string Quoted(const std::string& text) { return Json::valueToQuotedString(text.c_str()); }

std::string TimeOrNull(std::chrono::system_clock::time_point when) {
    const std::string text = LocalTimeText(when);
    return text.empty() ? "null" : Quoted(text);
}

bool Digits(const std::string& text, std::size_t at, std::size_t count, int* out) {
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    *out = value;
    return true;
}

}  // namespace

std::string DeviceJson(const DeviceStatus& s, const std::string& record_json,
                       std::uint64_t history_records, std::chrono::system_clock::time_point now) {
    const bool never = s.last_round == std::chrono::system_clock::time_point{};
    const bool stale = !never && now - s.last_round > kStaleAfter;
    const std::uint64_t resends = s.polls > s.rounds_started ? s.polls - s.rounds_started : 0;
    std::string out = "{\"data_id\":" + std::to_string(s.data_id);
    out += ",\"name\":" + Quoted(s.name) + ",\"port\":" + Quoted(s.port);
    out += ",\"state\":" + Quoted(s.state) + ",\"silent_since\":" + TimeOrNull(s.silent_since);
    out += std::string(",\"stale\":") + (stale ? "true" : "false");
    out += ",\"last_round\":" + TimeOrNull(s.last_round);
    out += ",\"rounds\":" + std::to_string(s.rounds);
    out += ",\"rounds_started\":" + std::to_string(s.rounds_started);
    out += ",\"abandoned\":" + std::to_string(s.abandoned);
    out += ",\"resends\":" + std::to_string(resends);
    out += ",\"polls\":" + std::to_string(s.polls);
    out += ",\"errors\":" + std::to_string(s.errors);
    out += ",\"history_records\":" + std::to_string(history_records);
    out += ",\"record\":" + (record_json.empty() ? std::string("null") : record_json);
    return out + "}";
}

std::int64_t TimeKey(int year, int month, int day, int hour, int minute, int second) {
    return ((((static_cast<std::int64_t>(year) * 13 + month) * 32 + day) * 24 + hour) * 60 +
            minute) *
               60 +
           second;
}

std::int64_t StampKey(const ttime& t) {
    const int year = t.year[0] | (t.year[1] << 8);
    return TimeKey(year, t.month, t.day, t.hour, t.minute, t.second);
}

std::optional<std::int64_t> ParseQueryTime(const std::string& text) {
    if (text.size() == 19 && text[4] == '-' && text[7] == '-' && text[10] == ' ' &&
        text[13] == ':' && text[16] == ':') {
        int y, mo, d, h, mi, s;
        if (Digits(text, 0, 4, &y) && Digits(text, 5, 2, &mo) && Digits(text, 8, 2, &d) &&
            Digits(text, 11, 2, &h) && Digits(text, 14, 2, &mi) && Digits(text, 17, 2, &s) &&
            mo >= 1 && mo <= 12 && d >= 1 && d <= 31 && h <= 23 && mi <= 59 && s <= 60) {
            return TimeKey(y, mo, d, h, mi, s);
        }
        return std::nullopt;
    }
    const auto epoch = command_line::ParseInteger(text, 0, 999999999999);
    if (!epoch) return std::nullopt;
    const time_t when = static_cast<time_t>(*epoch);
    if (static_cast<std::int64_t>(when) != *epoch) return std::nullopt;  // 32-bit time_t
    tm local{};
    if (::localtime_r(&when, &local) == nullptr) return std::nullopt;
    return TimeKey(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                   local.tm_min, local.tm_sec);
}

std::string LocalTimeText(std::chrono::system_clock::time_point when) {
    if (when == std::chrono::system_clock::time_point{}) return "";
    const time_t t = std::chrono::system_clock::to_time_t(when);
    tm local{};
    if (::localtime_r(&t, &local) == nullptr) return "";
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

}  // namespace runner::web
