#pragma once
// A serial port's own settings, as the site file gives them, and how the port
// stands, as the runner's outputs see it beside each device on it.

#include <cstdint>
#include <optional>
#include <string>

#include "tools/common/serial_port.h"

namespace runner::line {

// Whether what the runner writes comes back at the head of what it reads.
enum class EchoMode {
    kAuto,  // found out from the first echo
    kOn,    // always: what comes first after a command is its echo
    kOff,   // never: everything read goes to the devices
};

struct PortSettings {
    EchoMode echo = EchoMode::kAuto;
    // Set when the port opens; none: the port's mode is left as its driver has it.
    std::optional<serial_port::Rs485> rs485;
    // Where the settings came from, for messages: "site.json: ports["/dev/ttyS1"]";
    // "" when given otherwise.
    std::string origin;
};

struct PortState {
    std::string node;                  // the device node reached at the last open; "" before
    std::uint64_t reopens = 0;         // opens after the first
    bool echo = false;                 // the line echoes (seen, or set on)
    std::uint64_t garbled_echoes = 0;  // echoes that did not match what was sent
    std::optional<bool> rs485;         // the port's RS-485 mode; none: its driver has none
};

// "RS-485 mode on (RTS high while sending, low after, 0 ms before and 0 ms after)",
// with ", receiving while sending" where set; "RS-485 mode off".
inline std::string Rs485Text(const serial_port::Rs485& mode) {
    if (!mode.enabled) return "RS-485 mode off";
    const auto level = [](bool high) { return high ? "high" : "low"; };
    std::string text = std::string("RS-485 mode on (RTS ") + level(mode.rts_high_while_sending) +
                       " while sending, " + level(mode.rts_high_after_sending) + " after, " +
                       std::to_string(mode.delay_before_send_ms) + " ms before and " +
                       std::to_string(mode.delay_after_send_ms) + " ms after";
    if (mode.receive_while_sending) text += ", receiving while sending";
    return text + ")";
}

}  // namespace runner::line
