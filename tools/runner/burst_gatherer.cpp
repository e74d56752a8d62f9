#include "tools/runner/burst_gatherer.h"

namespace runner {

BurstGatherer::BurstGatherer(std::size_t limit, Clock::duration quiet_gap)
    : limit_(limit == 0 ? 1 : limit), gap_(quiet_gap) {}

std::vector<BurstGatherer::Bytes> BurstGatherer::Add(const std::uint8_t* data, std::size_t length,
                                                     Clock::time_point now) {
    std::vector<Bytes> full;
    if (data == nullptr || length == 0) return full;
    last_byte_ = now;
    for (std::size_t i = 0; i < length; ++i) {
        held_.push_back(data[i]);
        if (held_.size() == limit_) {
            full.push_back(std::move(held_));
            held_.clear();
        }
    }
    return full;
}

std::optional<BurstGatherer::Bytes> BurstGatherer::TakeIfQuiet(Clock::time_point now) {
    if (held_.empty() || now - last_byte_ < gap_) return std::nullopt;
    Bytes out = std::move(held_);
    held_.clear();
    return out;
}

std::optional<BurstGatherer::Clock::time_point> BurstGatherer::Deadline() const {
    if (held_.empty()) return std::nullopt;
    return last_byte_ + gap_;
}

BurstGatherer::Clock::duration BurstGatherer::GapForBaud(int baud) {
    if (baud <= 0) baud = 9600;
    return std::chrono::microseconds(30LL * 1000000LL / baud);
}

}  // namespace runner
