#pragma once
// Replies as a battery monitor module sends them, for feeding a device.

#include <array>
#include <cstdint>
#include <vector>

#include "battery/protocol.h"

namespace test_support {

using Bytes = std::vector<std::uint8_t>;

Bytes ValueReply(std::uint8_t addr, std::uint16_t raw);
Bytes CellReply(std::uint8_t addr, const std::array<std::uint16_t, 32>& raw);
// 32 cells all holding `raw`.
Bytes FlatCellReply(std::uint8_t addr, std::uint16_t raw);

}  // namespace test_support
