#pragma once
// Wire protocol of the battery monitor module: frames, checksum and the scaling
// of raw readings. Everything here is a pure function of its arguments.
//
// Command (device -> module), 5 bytes:  FE FE addr code checksum(addr, code)
// Value reply (module -> device), 5 bytes:  ED addr hi lo checksum(addr, hi, lo)
// Cell reply (module -> device), 67 bytes:  ED addr {hi lo} x 32 checksum(bytes 1..65)
// Wire values are unsigned 16-bit, most significant byte first.

#include <array>
#include <cstddef>
#include <cstdint>

namespace battery_protocol {

inline constexpr std::uint8_t kCommandLead = 0xFE;
inline constexpr std::uint8_t kReplyLead = 0xED;

inline constexpr std::uint8_t kCmdCellVoltages = 0xA1;
inline constexpr std::uint8_t kCmdGroupVoltage = 0xA2;
inline constexpr std::uint8_t kCmdCurrent = 0xA3;
inline constexpr std::uint8_t kCmdTemperature = 0xA4;

inline constexpr std::size_t kCommandLength = 5;
inline constexpr std::size_t kValueReplyLength = 5;
inline constexpr std::size_t kCellsPerReply = 32;
inline constexpr std::size_t kCellReplyLength = 2 + 2 * kCellsPerReply + 1;  // 67
// The receive side never holds more than this many bytes of one reply.
inline constexpr std::size_t kMaxReplyBytes = 80;

// Cell type whose cells are counted in millivolts, with its plausibility window.
inline constexpr int kMillivoltBatteryType = 6;

using CommandFrame = std::array<std::uint8_t, kCommandLength>;

// 8-bit wrapping sum of the bytes, reduced modulo 254 (so 0..253).
std::uint8_t Checksum(const std::uint8_t* data, int length);

CommandFrame BuildCommand(std::uint8_t addr, std::uint8_t code);

// The command code for a pending-command number 1..4; 0 for anything else.
std::uint8_t CommandForPending(int pending);

inline std::uint16_t ReadBigEndian16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// Framing tests of a reply at the start of `reply`, holding `length` bytes.
bool IsValidValueReply(const std::uint8_t* reply, std::size_t length, std::uint8_t addr);
bool HasCellReplyHeader(const std::uint8_t* reply, std::size_t length, std::uint8_t addr);
bool HasValidCellReplyChecksum(const std::uint8_t* reply);

// Scaling, single precision, step by step with real divisions.
float ScaleGroupVoltage(std::uint16_t raw, int version, float gain, float offset);
float SensorCurrent(std::uint16_t raw);  // current-ratio sensor: ((raw/10)/125 - 2) * 50
float PlainCurrent(std::uint16_t raw);   // raw / 10
float ScaleTemperature(std::uint16_t raw);
bool IsAcceptedTemperature(float celsius);  // (0, 100]

struct CellScaling {
    int battery_type = 0;
    int dir = 0;
    float adjust = 0.0f;
    float t0 = 0.0f;
    float t31 = 0.0f;
};

// Index of the cell that wire position p (0..31) fills.
std::size_t CellIndexForWirePosition(std::size_t p, int dir);
// Final voltage of the raw value at wire position p; 0.0 when outside the window.
float ScaleCellVoltage(std::uint16_t raw, std::size_t p, const CellScaling& scaling);
// Decodes all 32 cells of a checked cell reply into cells[0..31].
void DecodeCellReply(const std::uint8_t* reply, const CellScaling& scaling, float* cells);

}  // namespace battery_protocol
