#pragma once
// How one device is doing on its line, as the runner sees it from the device's
// calls: rounds begun, completed and abandoned, commands resent and left
// unanswered, and whether it has gone silent. The figures are kept in a
// LinkStatus, which the runner's outputs read as part of the device's status.

#include <chrono>
#include <cstdint>
#include <utility>

namespace runner::line {

enum class LinkState {
    kWaiting,  // before its first round
    kPolling,  // rounds complete
    kSilent,   // no round has completed for a while (see silent_since)
};

// "waiting", "polling", "silent".
inline const char* LinkStateName(LinkState state) {
    switch (state) {
        case LinkState::kPolling:
            return "polling";
        case LinkState::kSilent:
            return "silent";
        case LinkState::kWaiting:
            break;
    }
    return "waiting";
}

struct LinkStatus {
    std::uint64_t polls = 0;           // turns the device was given (RefreshStatus calls)
    std::uint64_t rounds = 0;          // rounds completed (records published)
    std::uint64_t rounds_started = 0;  // rounds the device began
    std::uint64_t abandoned = 0;       // rounds begun and given up
    std::uint64_t resends = 0;         // commands the device sent again
    std::uint64_t unanswered = 0;      // commands whose reply timeout passed
    std::uint64_t wrong_replies = 0;   // replies from another address that reached it
    // Commands that went unanswered during the device's last silence.
    std::uint64_t unanswered_in_silence = 0;
    LinkState state = LinkState::kWaiting;
    std::chrono::system_clock::time_point last_round{};    // epoch: none yet
    std::chrono::system_clock::time_point silent_since{};  // epoch: not silent
};

class LinkTracker {
public:
    using Clock = std::chrono::steady_clock;
    using Wall = std::chrono::system_clock;

    explicit LinkTracker(LinkStatus& status) : status_(status) {}

    // Polling (re)starts at `now`: the silence clock counts from here unless silent already.
    void PollingStarts(Clock::time_point now) {
        if (status_.state == LinkState::kSilent) return;
        heard_ = now;
        heard_wall_ = Wall::now();
    }
    // The program did not run for `held`: that time is not silence.
    void Shift(Clock::duration held) { heard_ += held; }
    // The device was given a turn.
    void TurnTaken() { ++status_.polls; }
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
    // A record was published. When this ends a silence, the commands that
    // went unanswered meanwhile are in `unanswered_in_silence`.
    void RoundCompleted(Clock::time_point now) {
        ++status_.rounds;
        round_open_ = false;
        heard_ = now;
        heard_wall_ = status_.last_round = Wall::now();
        const std::uint64_t unanswered = std::exchange(unanswered_lately_, 0);
        if (status_.state == LinkState::kSilent) {
            status_.silent_since = {};
            status_.unanswered_in_silence = unanswered;
        }
        status_.state = LinkState::kPolling;
    }
    // True once, when no round has completed for `period` by `now`.
    bool BecameSilent(Clock::time_point now, Clock::duration period) {
        if (status_.state == LinkState::kSilent || now - heard_ < period) return false;
        status_.state = LinkState::kSilent;
        status_.silent_since = heard_wall_;
        return true;
    }

    bool has_completed() const { return status_.rounds > 0; }
    std::uint64_t rounds() const { return status_.rounds; }
    bool in_trouble() const { return status_.unanswered > 0 || status_.abandoned > 0; }

private:
    LinkStatus& status_;
    bool round_open_ = false;
    Clock::time_point heard_{};  // last completed round, or polling start
    Wall::time_point heard_wall_{};
    std::uint64_t unanswered_lately_ = 0;  // since the last completed round
};

}  // namespace runner::line
