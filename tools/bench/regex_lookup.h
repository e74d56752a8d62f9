#pragma once
// The yardstick for the device's value lookup: the same lookup written the
// obvious way, with a prebuilt std::regex finding the cell name. It keeps the
// device's readiness and freshness checks and answers exactly what the device
// answers, so that a timing difference is the name matching and nothing else.

#include <optional>
#include <regex>
#include <string>

class Battery32;

namespace bench {

// battery_(\d+)_value, built once.
const std::regex& CellNamePattern();

// The cell index of the first "battery_<digits>_value" in `name`, found with
// regex_search; the digits saturate at the largest int as the device's do.
std::optional<int> RegexCellIndex(const std::string& name, const std::regex& pattern);

// Battery32::Get_Value with the name matched by `pattern`.
float RegexGetValue(const Battery32& device, const std::string& name, const std::regex& pattern);

}  // namespace bench
