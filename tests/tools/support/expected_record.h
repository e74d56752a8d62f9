#pragma once
// What the device should make of a simulated module's readings, worked out
// from the wire values with the module's documented scalings (cells in 10 mV,
// group voltage in 0.1 V, current in 0.1 A, temperature in 0.01 degrees C).

#include <array>
#include <string>
#include <vector>

#include "battery32/battery32_data.h"
#include "tools/module/module_config.h"

namespace tools_test {

struct ExpectedRecord {
    std::array<float, kBattery32Cells> cells{};
    float group_voltage = 0;
    float group_current = 0;
    float temperature = 0;
};

// For a module with battery type 0, version 1, plain current, no noise;
// `partner_voltage` is added to the group voltage the way the device adds partners'.
ExpectedRecord Expect(const module::ModuleConfig& module, float partner_voltage = 0.0f);

// Empty when the record matches exactly (bit for bit on every float), else what differs.
std::string Differences(const Battery32_Data_t& record, std::uint32_t data_id,
                        const ExpectedRecord& expected);

// The records of a history file, decoded.
std::vector<Battery32_Data_t> HistoryRecords(const std::string& path);

}  // namespace tools_test
