#pragma once
// The host's 7-byte time record, as stored at the end of every data record.
//
// Layout (byte offsets):
//   0..1  year, unsigned 16-bit, little-endian (e.g. 2026 -> EA 07)
//   2     month   1..12
//   3     day     1..31
//   4     hour    0..23
//   5     minute  0..59
//   6     second  0..59
// A time that is not a valid date (not_a_date_time, infinities) renders as seven zero bytes.

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>

#pragma pack(push, 1)
struct ttime {
    std::uint8_t year[2];  // little-endian
    std::uint8_t month;
    std::uint8_t day;
    std::uint8_t hour;
    std::uint8_t minute;
    std::uint8_t second;
};
#pragma pack(pop)

static_assert(sizeof(ttime) == 7, "ttime is exactly 7 bytes");

ttime get_ttime(boost::posix_time::ptime when);
