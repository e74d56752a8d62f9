#pragma once
// The values a device submits to the host's threshold rules, as small
// numbers: the group voltage, the current, the temperature and the 32 cells,
// each known by the name the device submits it under ("group_voltage",
// "battery_2_value"). Names are read where they lie, without building strings.

#include <string>
#include <string_view>

namespace runner::alarms {

inline constexpr int kCells = 32;
enum Variable : int { kGroupVoltage = 0, kGroupCurrent, kTemperature, kFirstCell };
inline constexpr int kVariables = kFirstCell + kCells;
// What "battery_*_value" watches: every cell the device submits.
inline constexpr int kEveryCell = -2;
inline constexpr int kNoVariable = -1;

// The variable the device submits under `name`, or kNoVariable. A cell's
// number is written as the device writes it: decimal, no leading zero.
int VariableOf(std::string_view name);
// What a rule's "watch" names: a variable, kEveryCell or kNoVariable.
int WatchedBy(std::string_view watch);
// The name of a variable ("temperature", "battery_2_value").
std::string VariableName(int variable);

}  // namespace runner::alarms
