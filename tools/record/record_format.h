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

// A calendar time a controller's clock can show, an unset clock's 1970
// included: what every record the device stamps carries.
bool ValidStamp(const ttime& stamp);

// "YYYY-MM-DD HH:MM:SS"; an all-zero stamp (no valid time) gives "".
std::string FormatTime(const ttime& stamp);

// How a record's time is written where programs read it. The stamp is the
// controller's local wall clock; with its offset (ISO 8601,
// "2026-12-08T16:21:45+01:00") it names one moment, also across a change to
// or from summer time and across controllers in several zones.
enum class TimeForm {
    kLocal,       // "2026-12-08 16:21:45", as the round lines and --json show it
    kWithOffset,  // as the web view's API, MQTT, decode's CSV and JSON lines
};

// The stamp in `form`; "" for an all-zero stamp.
std::string FormatTime(const ttime& stamp, TimeForm form);

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
                     std::optional<std::uint64_t> threshold_checks,
                     TimeForm time_form = TimeForm::kLocal);

// data_id,time,cell_1,...,cell_32,group_voltage,group_current,status,temperature,
// the time with its offset.
std::string CsvHeader();
std::string CsvRow(const Battery32_Data_t& record);

}  // namespace record
