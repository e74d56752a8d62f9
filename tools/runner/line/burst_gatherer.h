#pragma once
// Turns the bytes read from a line into bursts for the device: bytes are held
// until the line has been quiet for the gap (about three character times) or
// the limit is held, so a reply reaches the device whole even when the kernel
// hands it over in pieces.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace runner::line {

class BurstGatherer {
public:
    using Clock = std::chrono::steady_clock;
    using Bytes = std::vector<std::uint8_t>;

    BurstGatherer(std::size_t limit, Clock::duration quiet_gap)
        : limit_(limit == 0 ? 1 : limit), gap_(quiet_gap) {}

    // Adds bytes read at `now`; returns every burst that reached the limit, in order.
    std::vector<Bytes> Add(const std::uint8_t* data, std::size_t length, Clock::time_point now) {
        std::vector<Bytes> full;
        if (data == nullptr || length == 0) return full;
        last_byte_ = now;
        for (std::size_t i = 0; i < length; ++i) {
            held_.push_back(data[i]);
            if (held_.size() == limit_) full.push_back(std::exchange(held_, {}));
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
    void Clear() { held_.clear(); }

private:
    std::size_t limit_;
    Clock::duration gap_;
    Bytes held_;
    Clock::time_point last_byte_{};
};

}  // namespace runner::line
