#pragma once
// The module's side of the wire format, written independently of the device
// code so that the simulator checks the device instead of agreeing with it.
//
//   command  (host -> module), 5 bytes:  FE FE addr code sum(addr, code)
//   value reply (module -> host), 5 bytes:  ED addr hi lo sum(addr, hi, lo)
//   cell reply  (module -> host), 67 bytes: ED addr {hi lo} x 32 sum(bytes 1..65)
// sum: 8-bit wrapping sum, then modulo 254.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace module_sim {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kCommandLead = 0xFE;
inline constexpr std::uint8_t kReplyLead = 0xED;
inline constexpr std::uint8_t kCmdCells = 0xA1;
inline constexpr std::uint8_t kCmdGroupVoltage = 0xA2;
inline constexpr std::uint8_t kCmdCurrent = 0xA3;
inline constexpr std::uint8_t kCmdTemperature = 0xA4;
inline constexpr std::size_t kCommandLength = 5;
inline constexpr std::size_t kCellCount = 32;
inline constexpr std::size_t kCellReplyLength = 67;
inline constexpr std::size_t kValueReplyLength = 5;

std::uint8_t WireSum(const std::uint8_t* data, std::size_t length);

Bytes CommandFrame(std::uint8_t address, std::uint8_t code);
Bytes ValueReplyFrame(std::uint8_t address, std::uint16_t raw);
Bytes CellReplyFrame(std::uint8_t address, const std::array<std::uint16_t, kCellCount>& raw);

// "A1".."A4" for the known command codes, "0x.." for anything else.
const char* CommandName(std::uint8_t code);

}  // namespace module_sim
