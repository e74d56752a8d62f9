#include "tools/common/time_text.h"

#include <cstdio>
#include <ctime>

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

}  // namespace time_text
