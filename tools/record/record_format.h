#pragma once
// The ways a record is shown: one readable line per round, one JSON object per
// line, and CSV rows. Cells are numbered from 1 for people: cell N is
// cell_voltage[N-1] in the record and "battery_<N-1>_value" in lookups.

#include <cstdint>
#include <optional>
#include <string>

#include "battery32/battery32_data.h"

namespace record_tools {

// "[1001] round 3  2026-12-08 16:12:04  group 864.00 V  current 12.50 A
//  temp 25.30 C  low cell 12 13.380 V  high cell 3 13.620 V"
// With `threshold_checks`, "  checks 35" is added.
std::string RoundLine(const Battery32_Data_t& record, std::uint64_t round,
                      std::optional<std::uint64_t> threshold_checks);

// {"data_id":1001,"round":3,"time":"...","cell_voltage":[...32],"group_voltage":...,
//  "group_current":...,"status":0,"temperature":...} on one line. Non-finite
// numbers become null; `round` and the check count are left out when absent.
std::string JsonLine(const Battery32_Data_t& record, std::optional<std::uint64_t> round,
                     std::optional<std::uint64_t> threshold_checks);

// data_id,time,cell_1,...,cell_32,group_voltage,group_current,status,temperature
std::string CsvHeader();
std::string CsvRow(const Battery32_Data_t& record);

}  // namespace record_tools
