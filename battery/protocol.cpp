#include "battery/protocol.h"

namespace battery_protocol {

std::uint8_t Checksum(const std::uint8_t* data, int length) {
    std::uint8_t sum = 0;
    for (int i = 0; i < length; ++i) sum = static_cast<std::uint8_t>(sum + data[i]);
    return static_cast<std::uint8_t>(sum % 254);
}

CommandFrame BuildCommand(std::uint8_t addr, std::uint8_t code) {
    CommandFrame frame{kCommandLead, kCommandLead, addr, code, 0};
    frame[4] = Checksum(&frame[2], 2);
    return frame;
}

std::uint8_t CommandForPending(int pending) {
    switch (pending) {
        case 1:
            return kCmdCellVoltages;
        case 2:
            return kCmdGroupVoltage;
        case 3:
            return kCmdCurrent;
        case 4:
            return kCmdTemperature;
        default:
            return 0;
    }
}

bool IsValidValueReply(const std::uint8_t* reply, std::size_t length, std::uint8_t addr) {
    return length >= kValueReplyLength && reply[0] == kReplyLead && reply[1] == addr &&
           Checksum(reply + 1, 3) == reply[4];
}

bool HasCellReplyHeader(const std::uint8_t* reply, std::size_t length, std::uint8_t addr) {
    return length >= kCellReplyLength && reply[0] == kReplyLead && reply[1] == addr;
}

bool HasValidCellReplyChecksum(const std::uint8_t* reply) {
    return Checksum(reply + 1, static_cast<int>(kCellReplyLength - 2)) ==
           reply[kCellReplyLength - 1];
}

float ScaleGroupVoltage(std::uint16_t raw, int version, float gain, float offset) {
    float v = static_cast<float>(raw);
    v = (version == 2) ? v / 100.0f : v / 10.0f;
    v = v * gain;
    v = v + offset;
    return v;
}

float SensorCurrent(std::uint16_t raw) {
    float c = static_cast<float>(raw) / 10.0f;
    c = c / 125.0f;
    c = c - 2.0f;
    c = c * 50.0f;
    return c;
}

float PlainCurrent(std::uint16_t raw) { return static_cast<float>(raw) / 10.0f; }

float ScaleTemperature(std::uint16_t raw) { return static_cast<float>(raw) / 100.0f; }

bool IsAcceptedTemperature(float celsius) { return celsius > 0.0f && celsius <= 100.0f; }

std::size_t CellIndexForWirePosition(std::size_t p, int dir) {
    return dir != 0 ? kCellsPerReply - 1 - p : p;
}

float ScaleCellVoltage(std::uint16_t raw, std::size_t p, const CellScaling& scaling) {
    const bool millivolts = scaling.battery_type == kMillivoltBatteryType;
    float v = static_cast<float>(raw);
    v = millivolts ? v / 1000.0f : v / 100.0f;
    v = v + scaling.adjust;
    if (p == 0) v = v + scaling.t0;
    if (p == kCellsPerReply - 1) v = v + scaling.t31;
    const float low = millivolts ? 4.5f : 9.0f;
    const float high = millivolts ? 7.5f : 15.0f;
    // Written so that a value that is not a number (an adjustment set to "nan")
    // falls outside the window like any other implausible reading.
    if (!(v >= low && v <= high)) return 0.0f;
    return v;
}

void DecodeCellReply(const std::uint8_t* reply, const CellScaling& scaling, float* cells) {
    for (std::size_t p = 0; p < kCellsPerReply; ++p) {
        const std::uint16_t raw = ReadBigEndian16(reply + 2 + 2 * p);
        cells[CellIndexForWirePosition(p, scaling.dir)] = ScaleCellVoltage(raw, p, scaling);
    }
}

}  // namespace battery_protocol
