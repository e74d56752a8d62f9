#pragma once
// How one device is doing on its line, as the runner sees it from the device's
// calls: rounds completed and abandoned, commands resent and left unanswered,
// and whether it has gone silent. LinkTracker keeps the counts in a
// DeviceLink; Runner::Statuses() hands them on in each DeviceStatus.

#include <chrono>
#include <cstdint>
#include <optional>

namespace runner {

struct DeviceLink {
    enum class State { kPolling, kSilent };
    std::uint32_t data_id = 0;
    State state = State::kPolling;
    std::uint64_t rounds = 0;           // completed: a record was published
    std::uint64_t abandoned = 0;        // begun, then ended without a record
    std::uint64_t resends = 0;          // commands sent again by the device
    std::uint64_t unanswered = 0;       // commands whose reply timeout passed
    std::uint64_t foreign_replies = 0;  // replies from another address that reached it
    // While silent: when it last completed a round (or polling began).
    std::chrono::system_clock::time_point silent_since{};
};

class LinkTracker {
public:
    using Clock = std::chrono::steady_clock;
    using Wall = std::chrono::system_clock;

    explicit LinkTracker(std::uint32_t data_id) { link_.data_id = data_id; }

    // Polling (re)starts at `now`: the silence clock counts from here unless silent already.
    void PollingStarts(Clock::time_point now, Wall::time_point wall);
    // The device began a round; one still open was abandoned.
    void RoundBegun();
    // The device's turn sent a command without beginning a round.
    void Resent() { ++link_.resends; }
    void Unanswered() {
        ++link_.unanswered;
        ++unanswered_lately_;
    }
    void ForeignReply() { ++link_.foreign_replies; }
    // The device's exchange ended (process returned 0): an open round was abandoned.
    void ExchangeEnded();
    // A record was published. Returns the commands that went unanswered while
    // it was silent, when this ends a silence.
    std::optional<std::uint64_t> RoundCompleted(Clock::time_point now);
    // True once, when no round has completed for `period` by `now`.
    bool BecameSilent(Clock::time_point now, Clock::duration period);

    bool has_completed() const { return link_.rounds > 0; }
    bool in_trouble() const { return link_.unanswered > 0 || link_.abandoned > 0; }
    const DeviceLink& link() const { return link_; }

private:
    DeviceLink link_;
    bool round_open_ = false;
    Clock::time_point heard_{};  // last completed round, or polling start
    Wall::time_point heard_wall_{};
    std::uint64_t unanswered_lately_ = 0;  // since the last completed round
};

}  // namespace runner
