#include "tools/common/time_text.h"

#include <time.h>

#include <cstdint>
#include <cstdio>

#include "tools/common/command_line.h"

namespace time_text {
namespace {

std::string Local(std::chrono::system_clock::time_point t, const char* format) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    if (::localtime_r(&seconds, &local) == nullptr) return "";
    char text[32];
    std::strftime(text, sizeof text, format, &local);
    return text;
}

// Whether the calendar has that day: strptime takes the 31st of any month.
bool DayExists(const std::tm& t) {
    std::tm day{};
    day.tm_year = t.tm_year;
    day.tm_mon = t.tm_mon;
    day.tm_mday = t.tm_mday;
    ::timegm(&day);  // moves a day past the month's end into the next month
    return day.tm_mon == t.tm_mon && day.tm_mday == t.tm_mday;
}

}  // namespace

std::string Duration(std::chrono::steady_clock::duration d) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    if (ms % 1000 == 0 && ms != 0) return std::to_string(ms / 1000) + " s";
    if (ms < 10000) return std::to_string(ms) + " ms";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

std::string Milliseconds(std::chrono::steady_clock::duration d) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", std::chrono::duration<double, std::milli>(d).count());
    return text;
}

std::string ClockTime(std::chrono::system_clock::time_point t) { return Local(t, "%H:%M:%S"); }

std::string LocalTime(std::chrono::system_clock::time_point t) {
    if (t == std::chrono::system_clock::time_point{}) return "";
    return Local(t, "%Y-%m-%d %H:%M:%S");
}

std::string OffsetText(long seconds_east) {
    if (seconds_east == 0) return "Z";
    const long minutes = (seconds_east < 0 ? -seconds_east : seconds_east) / 60 % (24 * 60);
    char text[48];
    std::snprintf(text, sizeof text, "%c%02ld:%02ld", seconds_east < 0 ? '-' : '+', minutes / 60,
                  minutes % 60);
    return text;
}

std::string IsoTime(std::tm local) {
    const std::tm wall = local;
    if (::mktime(&local) == static_cast<std::time_t>(-1) && local.tm_year < 0) return "";
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", wall.tm_year + 1900,
                  wall.tm_mon + 1, wall.tm_mday, wall.tm_hour, wall.tm_min, wall.tm_sec);
    return text + OffsetText(local.tm_gmtoff);
}

std::string IsoTime(std::chrono::system_clock::time_point t) {
    if (t == std::chrono::system_clock::time_point{}) return "";
    const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    if (::localtime_r(&seconds, &local) == nullptr) return "";
    char text[48];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    return text + OffsetText(local.tm_gmtoff);
}

std::optional<std::tm> ParseTimeText(const std::string& text) {
    static const char kPattern[] = "0000-00-00 00:00:00";  // 0: a digit
    std::tm local{};
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
        local.tm_isdst = -1;  // whichever holds at that moment
        return local;
    }
    const auto epoch = command_line::ParseInteger(text, 0, 999999999999);  // twelve digits
    if (!epoch) return std::nullopt;
    const time_t when = static_cast<time_t>(*epoch);
    if (static_cast<std::int64_t>(when) != *epoch) return std::nullopt;  // 32-bit time_t
    if (::localtime_r(&when, &local) == nullptr) return std::nullopt;
    return local;
}

}  // namespace time_text
