#include "tools/module/module_wire.h"

namespace module {

std::uint8_t WireSum(const std::uint8_t* data, std::size_t length) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < length; ++i) sum = (sum + data[i]) & 0xFFu;
    return static_cast<std::uint8_t>(sum % 254u);
}

Bytes CommandFrame(std::uint8_t address, std::uint8_t code) {
    Bytes frame{kCommandLead, kCommandLead, address, code, 0};
    frame[4] = WireSum(&frame[2], 2);
    return frame;
}

Bytes ValueReplyFrame(std::uint8_t address, std::uint16_t raw) {
    Bytes frame{kReplyLead, address, static_cast<std::uint8_t>(raw >> 8),
                static_cast<std::uint8_t>(raw & 0xFF), 0};
    frame[4] = WireSum(&frame[1], 3);
    return frame;
}

Bytes CellReplyFrame(std::uint8_t address, const std::array<std::uint16_t, kCellCount>& raw) {
    Bytes frame{kReplyLead, address};
    frame.reserve(kCellReplyLength);
    for (std::uint16_t v : raw) {
        frame.push_back(static_cast<std::uint8_t>(v >> 8));
        frame.push_back(static_cast<std::uint8_t>(v & 0xFF));
    }
    frame.push_back(WireSum(&frame[1], frame.size() - 1));
    return frame;
}

Bytes FlatCellReplyFrame(std::uint8_t address, std::uint16_t raw) {
    std::array<std::uint16_t, kCellCount> cells;
    cells.fill(raw);
    return CellReplyFrame(address, cells);
}

Bytes ReplyFrame(std::uint8_t address, std::uint8_t code, const Readings& readings) {
    switch (code) {
        case kCmdCells:
            return CellReplyFrame(address, readings.cells);
        case kCmdGroupVoltage:
            return ValueReplyFrame(address, readings.group);
        case kCmdCurrent:
            return ValueReplyFrame(address, readings.current);
        default:
            return ValueReplyFrame(address, readings.temperature);
    }
}

}  // namespace module
