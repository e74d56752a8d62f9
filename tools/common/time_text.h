#pragma once
// Times and durations as the tools write them in their lines.

#include <chrono>
#include <ctime>
#include <optional>
#include <string>

namespace time_text {

// "250 ms", "1643 ms", "3 s", "12.5 s": whole seconds in seconds, other
// durations under 10 s in milliseconds, longer ones in seconds to a tenth.
std::string Duration(std::chrono::steady_clock::duration d);

// "0.6": milliseconds to a tenth, for averages and extremes of short times.
std::string Milliseconds(std::chrono::steady_clock::duration d);

// "14:02:11", local time.
std::string ClockTime(std::chrono::system_clock::time_point t);

// "2026-12-08 14:02:11", local time; "" for the epoch, which stands for never.
std::string LocalTime(std::chrono::system_clock::time_point t);

// ISO 8601 with the zone's offset at that moment: "2026-12-08T14:02:11+01:00",
// "...Z" where the offset is 0; "" for the epoch, which stands for never.
std::string IsoTime(std::chrono::system_clock::time_point t);

// The same for a local wall-clock time given by its fields (tm_isdst -1: the
// offset that holds then; in the hour a clock is turned back, which of the
// two the C library takes).
// "" when the fields name no time.
std::string IsoTime(std::tm local);

// "+01:00", or "Z" for 0: a zone's offset east of UTC, in seconds, as ISO 8601 writes it.
std::string OffsetText(long seconds_east);

// A time people give: "YYYY-MM-DD hh:mm:ss" in local time, or whole epoch
// seconds. The local time it names (for epoch seconds with its daylight-saving
// flag, so that mktime() gives the same seconds back); nothing when the text
// is neither.
std::optional<std::tm> ParseTimeText(const std::string& text);

}  // namespace time_text
