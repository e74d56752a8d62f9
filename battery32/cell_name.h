#pragma once
// Cell variable names: "battery_" + decimal cell index + "_value".

#include <optional>
#include <string_view>

namespace cell_name {

// The cell index of the first "battery_<digits>_value" found anywhere in `name`
// (a search, not a whole-name match). Leading zeros are allowed; an index above
// the largest int reads as the largest int. One linear pass, no allocation.
std::optional<int> FindCellIndex(std::string_view name);

}  // namespace cell_name
