#pragma once
// How one device is doing on its line, as the runner sees it from the device's
// calls: rounds begun, completed and abandoned, commands resent and left
// unanswered, and whether it has gone silent. The counts are kept in the
// device's DeviceStatus, the one the runner hands to its outputs.

#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>

#include "tools/runner/round_output.h"

namespace runner {

class LinkTracker {
public:
    using Clock = std::chrono::steady_clock;
    using Wall = std::chrono::system_clock;

    explicit LinkTracker(DeviceStatus& status) : status_(status) {}

    // Polling (re)starts at `now`: the silence clock counts from here unless silent already.
    void PollingStarts(Clock::time_point now) {
        if (silent_) return;
        heard_ = now;
        heard_wall_ = Wall::now();
    }
    // The device began a round; one still open was abandoned.
    void RoundBegun() {
        ++status_.rounds_started;
        ExchangeEnded();
        round_open_ = true;
    }
    // The device's turn sent a command without beginning a round.
    void Resent() { ++status_.resends; }
    void Unanswered() {
        ++status_.unanswered;
        ++unanswered_lately_;
    }
    void ForeignReply() { ++status_.wrong_replies; }
    // The device's exchange ended (process returned 0): an open round was abandoned.
    void ExchangeEnded() {
        if (round_open_) ++status_.abandoned;
        round_open_ = false;
    }
    // A record was published. Returns the commands that went unanswered while
    // it was silent, when this ends a silence.
    std::optional<std::uint64_t> RoundCompleted(Clock::time_point now) {
        ++status_.rounds;
        round_open_ = false;
        heard_ = now;
        heard_wall_ = status_.last_round = Wall::now();
        status_.state = "polling";
        const std::uint64_t unanswered = std::exchange(unanswered_lately_, 0);
        if (!std::exchange(silent_, false)) return std::nullopt;
        status_.silent_since = {};
        return unanswered;
    }
    // True once, when no round has completed for `period` by `now`.
    bool BecameSilent(Clock::time_point now, Clock::duration period) {
        if (silent_ || now - heard_ < period) return false;
        silent_ = true;
        status_.state = "silent";
        status_.silent_since = heard_wall_;
        return true;
    }

    bool has_completed() const { return status_.rounds > 0; }
    bool in_trouble() const { return status_.unanswered > 0 || status_.abandoned > 0; }

private:
    DeviceStatus& status_;
    bool silent_ = false;
    bool round_open_ = false;
    Clock::time_point heard_{};  // last completed round, or polling start
    Wall::time_point heard_wall_{};
    std::uint64_t unanswered_lately_ = 0;  // since the last completed round
};

}  // namespace runner
