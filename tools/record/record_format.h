#pragma once
// The 32-cell record as published and stored (layout in
// battery32/battery32_data.h), and the ways it is shown: one readable line per
// round, one JSON object per line, and CSV rows. Cells are numbered from 1 for
// people: cell N is cell_voltage[N-1] in the record and "battery_<N-1>_value"
// in lookups.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "battery32/battery32_data.h"

namespace record {

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

// With a fixed number of decimals, as people read it: Fixed(13.38f, 3) is "13.380".
std::string Fixed(float value, int decimals);

// "[1001] round 3  2026-12-08 16:12:04  group 864.00 V  current 12.50 A
//  temp 25.30 C  low cell 12 13.380 V  high cell 3 13.620 V"
// With `threshold_checks`, "  checks 35" is added. Without `with_time` the
// record's time is left out (for the journal, which stamps the line itself).
std::string RoundLine(const Battery32_Data_t& record, std::uint64_t round,
                      std::optional<std::uint64_t> threshold_checks, bool with_time = true);

// {"data_id":1001,"round":3,"time":"...","cell_voltage":[...32],"group_voltage":...,
//  "group_current":...,"status":0,"temperature":...} on one line. Non-finite
// numbers become null; `round` and the check count are left out when absent.
std::string JsonLine(const Battery32_Data_t& record, std::optional<std::uint64_t> round,
                     std::optional<std::uint64_t> threshold_checks);

// data_id,time,cell_1,...,cell_32,group_voltage,group_current,status,temperature
std::string CsvHeader();
std::string CsvRow(const Battery32_Data_t& record);

}  // namespace record
