#pragma once
// The module's side of the wire format, written independently of the device
// code so that the simulator, the tests and the fuzz targets check the device
// instead of agreeing with it.
//
//   command  (host -> module), 5 bytes:  FE FE addr code sum(addr, code)
//   value reply (module -> host), 5 bytes:  ED addr hi lo sum(addr, hi, lo)
//   cell reply  (module -> host), 67 bytes: ED addr {hi lo} x 32 sum(bytes 1..65)
// sum: 8-bit wrapping sum, then modulo 254. Values are big-endian.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace module {

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

// What a module measures, in wire units: one reply carries one of them.
struct Readings {
    std::array<std::uint16_t, kCellCount> cells{};  // A1
    std::uint16_t group = 0;                        // A2
    std::uint16_t current = 0;                      // A3
    std::uint16_t temperature = 0;                  // A4
};

std::uint8_t WireSum(const std::uint8_t* data, std::size_t length);

Bytes CommandFrame(std::uint8_t address, std::uint8_t code);
Bytes ValueReplyFrame(std::uint8_t address, std::uint16_t raw);
Bytes CellReplyFrame(std::uint8_t address, const std::array<std::uint16_t, kCellCount>& raw);
// A cell reply with every cell at `raw`.
Bytes FlatCellReplyFrame(std::uint8_t address, std::uint16_t raw);
// The reply to command `code` carrying its reading from `readings`; a code
// other than A1..A3 gets the temperature reply.
Bytes ReplyFrame(std::uint8_t address, std::uint8_t code, const Readings& readings);

}  // namespace module
