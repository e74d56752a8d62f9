#pragma once
// Removes a line's local echo: many two-wire RS-485 adapters hear their own
// transmission, so what the runner writes comes back as the first bytes it
// reads. Those bytes are taken off the head of what is read after each
// command, before any device sees them. An echo whose bytes differ from what
// was written (garbled on the line) is taken off all the same and counted.
//
// In the automatic mode the line is taken to echo once a whole echo has come
// back. From then on, as with the echo set on, the first bytes after a command
// are its echo whatever they hold, unless they begin with a reply's lead: then
// the echo is missing and the bytes are the reply. Pure logic, no allocation.

#include <array>
#include <cstddef>
#include <cstdint>

#include "tools/runner/line/port_state.h"

namespace runner::line {

class EchoFilter {
public:
    // Commands are a few bytes; a longer write is expected back in its first bytes only.
    static constexpr std::size_t kMaxEcho = 16;

    explicit EchoFilter(EchoMode mode) : mode_(mode), echoing_(mode == EchoMode::kOn) {}

    // `length` bytes went out: their echo is due next, unless the echo is off.
    // True when an echo of an earlier write was still coming in and is given
    // up as garbled.
    bool Sent(const std::uint8_t* data, std::size_t length);
    // Bytes that came back since: how many at their head were echo.
    struct Taken {
        std::size_t echo_bytes = 0;
        bool first_echo = false;  // the line is now known to echo
        bool garbled = false;     // an echo ended here that did not match what was written
    };
    Taken Take(const std::uint8_t* data, std::size_t length);
    // The line was closed and opened again: no echo is due. Whether it echoes stays known.
    void Reopened() { due_ = 0; }

    bool echoing() const { return echoing_; }
    // The last garbled echo and what it should have been, for the note about it.
    const std::array<std::uint8_t, kMaxEcho>& last_sent() const { return sent_; }
    const std::array<std::uint8_t, kMaxEcho>& last_heard() const { return heard_; }
    std::size_t last_length() const { return length_; }

private:
    EchoMode mode_;
    bool echoing_;
    std::array<std::uint8_t, kMaxEcho> sent_{};
    std::array<std::uint8_t, kMaxEcho> heard_{};
    std::size_t length_ = 0;  // of the echo due, or of the last one
    std::size_t due_ = 0;     // bytes of the echo still to come (0: none due)
    bool mismatch_ = false;
};

}  // namespace runner::line
