#include "tools/runner/device_link.h"

namespace runner {

void LinkTracker::PollingStarts(Clock::time_point now, Wall::time_point wall) {
    if (link_.state == DeviceLink::State::kSilent) return;
    heard_ = now;
    heard_wall_ = wall;
}

void LinkTracker::RoundBegun() {
    if (round_open_) ++link_.abandoned;
    round_open_ = true;
}

void LinkTracker::ExchangeEnded() {
    if (round_open_) ++link_.abandoned;
    round_open_ = false;
}

std::optional<std::uint64_t> LinkTracker::RoundCompleted(Clock::time_point now) {
    ++link_.rounds;
    round_open_ = false;
    heard_ = now;
    heard_wall_ = Wall::now();
    const std::uint64_t unanswered = unanswered_lately_;
    unanswered_lately_ = 0;
    if (link_.state != DeviceLink::State::kSilent) return std::nullopt;
    link_.state = DeviceLink::State::kPolling;
    link_.silent_since = {};
    return unanswered;
}

bool LinkTracker::BecameSilent(Clock::time_point now, Clock::duration period) {
    if (link_.state == DeviceLink::State::kSilent || now - heard_ < period) return false;
    link_.state = DeviceLink::State::kSilent;
    link_.silent_since = heard_wall_;
    return true;
}

}  // namespace runner
