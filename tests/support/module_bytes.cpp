#include "tests/support/module_bytes.h"

namespace test_support {

Bytes ValueReply(std::uint8_t addr, std::uint16_t raw) {
    Bytes r{battery_protocol::kReplyLead, addr, static_cast<std::uint8_t>(raw >> 8),
            static_cast<std::uint8_t>(raw & 0xFF), 0};
    r[4] = battery_protocol::Checksum(&r[1], 3);
    return r;
}

Bytes CellReply(std::uint8_t addr, const std::array<std::uint16_t, 32>& raw) {
    Bytes r{battery_protocol::kReplyLead, addr};
    for (std::uint16_t v : raw) {
        r.push_back(static_cast<std::uint8_t>(v >> 8));
        r.push_back(static_cast<std::uint8_t>(v & 0xFF));
    }
    r.push_back(battery_protocol::Checksum(&r[1], 65));
    return r;
}

Bytes FlatCellReply(std::uint8_t addr, std::uint16_t raw) {
    std::array<std::uint16_t, 32> cells;
    cells.fill(raw);
    return CellReply(addr, cells);
}

}  // namespace test_support
