#pragma once
// Timing of one half-duplex serial line (RS-485) between the host and the
// modules, as pure arithmetic on time points: no threads, no descriptors.
// Every byte takes ten bit times (8N1). The host's bytes go out back to back
// from when they are written; a command is complete at the modules when its
// last byte is; the answer leaves after the module's turnaround at the line
// rate and reaches the host in pieces, as a UART's receive FIFO hands them over
// (up to kPieceBytes at a time, a short reply whole). The line is busy from the
// start of a command to the last byte of its answer: host bytes in that time
// collide, which corrupts what is still to come of the answer and leaves the
// colliding command unanswered. A line may echo: the host's own bytes come
// back to it as they cross, as on a two-wire adapter that hears itself.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "tools/module/module_simulator.h"

namespace module {

// Whether the host hears its own bytes back, as through many two-wire RS-485
// adapters, and how often that echo comes back garbled.
struct LineEcho {
    bool on = false;
    // Every this-many-th echo comes back with its last byte changed; 0: never.
    std::uint64_t garble_every = 0;
};

class HalfDuplexLine {
public:
    using Clock = std::chrono::steady_clock;
    // A receive FIFO's trigger level: longer answers arrive this many bytes at a time.
    static constexpr std::size_t kPieceBytes = 8;
    // What a corrupted byte reads as (never a reply lead).
    static constexpr std::uint8_t kCorruptByte = 0xFF;

    struct Piece {
        Clock::time_point due;  // when its last byte has crossed the line
        Bytes bytes;
        std::size_t written = 0;  // for the driver: bytes handed over so far
    };

    explicit HalfDuplexLine(int baud);

    // Host bytes written at `now`. Returns false when they collide: they are
    // then lost (not to be heard by the modules), and every piece in `pending`
    // that was still to cross the line is corrupted.
    bool HostBytes(std::size_t count, Clock::time_point now, std::deque<Piece>& pending);
    // The echo of the last host bytes, put in `pending` where their last byte
    // has crossed the line; garbled like everything else when they collided.
    void Echo(Bytes bytes, std::deque<Piece>& pending) const;
    // The modules' answer to the command the last accepted host bytes
    // completed, appended to `pending` as pieces at line pace. An empty answer
    // leaves the line free once the command is over.
    void Answer(std::vector<Transmission> answer, std::deque<Piece>& pending);

    std::uint64_t collisions() const { return collisions_; }
    // From the last byte of an answer to the next command the host sent: how
    // long the line stood idle that the host could have used.
    struct Idle {
        std::uint64_t count = 0;
        Clock::duration total{};
        Clock::duration longest{};
    };
    const Idle& reply_to_command() const { return idle_; }

private:
    Clock::duration byte_time_;
    Clock::time_point host_end_{};                 // the host's last byte crosses the line
    Clock::time_point busy_until_{};               // the last byte of the exchange in progress
    bool collided_ = false;                        // the last host bytes did
    std::optional<Clock::time_point> answer_end_;  // the last answer's, until a command follows
    std::uint64_t collisions_ = 0;
    Idle idle_;
};

}  // namespace module
