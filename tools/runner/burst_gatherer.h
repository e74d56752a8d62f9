#pragma once
// Turns the bytes read from a line into bursts for the device: bytes are held
// until the line has been quiet for the gap (about three character times) or
// the limit is held, so a reply reaches the device whole even when the kernel
// hands it over in pieces.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace runner {

class BurstGatherer {
public:
    using Clock = std::chrono::steady_clock;
    using Bytes = std::vector<std::uint8_t>;

    BurstGatherer(std::size_t limit, Clock::duration quiet_gap);

    // Adds bytes read at `now`; returns every burst that reached the limit, in order.
    std::vector<Bytes> Add(const std::uint8_t* data, std::size_t length, Clock::time_point now);
    // The held bytes, once the line has been quiet for the gap by `now`.
    std::optional<Bytes> TakeIfQuiet(Clock::time_point now);
    // When the held bytes fall due; nothing when none are held.
    std::optional<Clock::time_point> Deadline() const;
    void Clear() { held_.clear(); }
    std::size_t held() const { return held_.size(); }

    // Three character times of 10 bits (8N1) at `baud`.
    static Clock::duration GapForBaud(int baud);

private:
    std::size_t limit_;
    Clock::duration gap_;
    Bytes held_;
    Clock::time_point last_byte_{};
};

}  // namespace runner
