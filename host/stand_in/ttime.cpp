#include "host/ttime.h"

ttime get_ttime(boost::posix_time::ptime when) {
    ttime t{};
    if (when.is_special()) return t;
    const auto date = when.date();
    const auto time = when.time_of_day();
    const unsigned year = static_cast<unsigned>(date.year());
    t.year[0] = static_cast<std::uint8_t>(year & 0xFF);
    t.year[1] = static_cast<std::uint8_t>(year >> 8);
    t.month = static_cast<std::uint8_t>(date.month().as_number());
    t.day = static_cast<std::uint8_t>(date.day());
    t.hour = static_cast<std::uint8_t>(time.hours());
    t.minute = static_cast<std::uint8_t>(time.minutes());
    t.second = static_cast<std::uint8_t>(time.seconds());
    return t;
}
