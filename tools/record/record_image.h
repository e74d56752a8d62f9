#pragma once
// The 32-cell record as published and stored (layout in
// battery32/battery32_data.h), decoded for display.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "battery32/battery32_data.h"

namespace record_tools {

inline constexpr std::size_t kRecordSize = sizeof(Battery32_Data_t);  // 152

// The record held in `data`, or nothing unless it is exactly one record long.
std::optional<Battery32_Data_t> DecodeRecord(const std::uint8_t* data, std::size_t length);

// The stamp's year, kept little-endian in two bytes.
inline unsigned StampYear(const ttime& stamp) {
    return stamp.year[0] | (static_cast<unsigned>(stamp.year[1]) << 8);
}

// "YYYY-MM-DD HH:MM:SS"; an all-zero stamp (no valid time) gives "".
std::string FormatTime(const ttime& stamp);

// Shortest text that reads back as the same float ("13.38", "0", "-1.5e-07");
// "nan", "inf" and "-inf" for the special values.
std::string FormatFloat(float value);

}  // namespace record_tools
