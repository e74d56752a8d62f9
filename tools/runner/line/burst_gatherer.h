#pragma once
// Turns the bytes read from a line into bursts for the device: bytes are held
// until the line has been quiet for the gap (about three character times) or
// the limit is held, so that a reply reaches the device whole even when the
// kernel hands it over in pieces; and a reply is handed over at once when its
// last byte completes the reply the last command asks for, counted from its
// first byte (earlier bursts of a long reply included): waiting for the gap
// then would only add the gap to every exchange. Partial, foreign or garbled
// bytes still wait for the gap.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "battery/protocol.h"

namespace runner::line {

// A whole reply, as the command that asks for it tells: its lead byte, the
// module's address and its length, all as the device itself reads them.
struct ReplyShape {
    std::uint8_t lead = 0;
    std::uint8_t address = 0;
    std::size_t length = 0;
};

// The reply `command` (a frame a device sent) asks for; none for anything
// but one of the device's commands.
inline std::optional<ReplyShape> ReplyShapeFor(const std::uint8_t* command, std::size_t length) {
    namespace wire = battery_protocol;
    if (command == nullptr || length != wire::kCommandLength || command[0] != wire::kCommandLead ||
        command[1] != wire::kCommandLead) {
        return std::nullopt;
    }
    switch (command[3]) {
        case wire::kCmdCellVoltages:
            return ReplyShape{wire::kReplyLead, command[2], wire::kCellReplyLength};
        case wire::kCmdGroupVoltage:
        case wire::kCmdCurrent:
        case wire::kCmdTemperature:
            return ReplyShape{wire::kReplyLead, command[2], wire::kValueReplyLength};
        default:
            return std::nullopt;
    }
}

class BurstGatherer {
public:
    using Clock = std::chrono::steady_clock;
    using Bytes = std::vector<std::uint8_t>;

    BurstGatherer(std::size_t limit, Clock::duration quiet_gap)
        : limit_(limit == 0 ? 1 : limit), gap_(quiet_gap) {}

    // The reply due next, handed over as soon as its last byte comes; none:
    // the gap alone ends what comes.
    void Expect(std::optional<ReplyShape> reply) {
        expected_ = reply;
        seen_ = 0;
    }

    // Adds bytes read at `now`; returns every burst that reached the limit or
    // is the whole reply expected, in order.
    std::vector<Bytes> Add(const std::uint8_t* data, std::size_t length, Clock::time_point now) {
        std::vector<Bytes> full;
        if (data == nullptr || length == 0) return full;
        last_byte_ = now;
        for (std::size_t i = 0; i < length; ++i) {
            held_.push_back(data[i]);
            if (ReplyCompletedBy(data[i])) {
                expected_.reset();  // one reply per command: what follows waits for the gap
                full.push_back(std::exchange(held_, {}));
            } else if (held_.size() == limit_) {
                full.push_back(std::exchange(held_, {}));
            }
        }
        return full;
    }
    // The held bytes, once the line has been quiet for the gap by `now`.
    std::optional<Bytes> TakeIfQuiet(Clock::time_point now) {
        if (held_.empty() || now - last_byte_ < gap_) return std::nullopt;
        return std::exchange(held_, {});
    }
    // When the held bytes fall due; nothing when none are held.
    std::optional<Clock::time_point> Deadline() const {
        if (held_.empty()) return std::nullopt;
        return last_byte_ + gap_;
    }
    // Drops the held bytes; no reply is due any more.
    void Clear() {
        held_.clear();
        expected_.reset();
    }

private:
    // Counts `byte` into the reply due; true when it is the reply's last. A
    // reply that starts otherwise than the one due is left to the gap.
    bool ReplyCompletedBy(std::uint8_t byte) {
        if (!expected_) return false;
        const std::size_t at = seen_++;
        if ((at == 0 && byte != expected_->lead) || (at == 1 && byte != expected_->address)) {
            expected_.reset();
            return false;
        }
        return seen_ == expected_->length;
    }

    std::size_t limit_;
    Clock::duration gap_;
    Bytes held_;
    Clock::time_point last_byte_{};
    std::optional<ReplyShape> expected_;
    std::size_t seen_ = 0;  // bytes of the reply due so far, held or handed over
};

}  // namespace runner::line
