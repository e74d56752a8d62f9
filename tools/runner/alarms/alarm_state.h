#pragma once
// One alarm's state: normal, pending (the limit is passed; the delay runs),
// active, clearing (the value is back; the delay runs), and normal again.
// A condition that stops holding while its delay runs sends the alarm back
// where it came from, without a word. A delay of 0 raises or clears at once.

#include <chrono>
#include <cstdint>
#include <optional>

namespace runner::alarms {

enum class AlarmPhase { kNormal, kPending, kActive, kClearing };
enum class AlarmEdge { kNone, kRaised, kCleared };

// The moment of one submission. The clocks are read when first asked, so that
// a submission that changes nothing reads none; tests give fixed times.
class Moment {
public:
    using Clock = std::chrono::steady_clock;
    using Wall = std::chrono::system_clock;

    Moment() = default;
    Moment(Clock::time_point steady, Wall::time_point wall) : steady_(steady), wall_(wall) {}

    Clock::time_point steady() {
        if (!steady_) steady_ = Clock::now();
        return *steady_;
    }
    // Whole seconds since 1970.
    std::int64_t epoch() {
        if (!wall_) wall_ = Wall::now();
        return std::chrono::duration_cast<std::chrono::seconds>(wall_->time_since_epoch()).count();
    }
    // Seconds since 1970, with the fraction.
    double seconds() {
        epoch();
        return std::chrono::duration<double>(wall_->time_since_epoch()).count();
    }

private:
    std::optional<Clock::time_point> steady_;
    std::optional<Wall::time_point> wall_;
};

struct AlarmState {
    AlarmPhase phase = AlarmPhase::kNormal;
    Moment::Clock::time_point since{};  // when the running delay began

    // One reading: `beyond` when the raising condition holds, `back` when the
    // clearing one does. Says whether the alarm was raised or cleared.
    AlarmEdge Step(bool beyond, bool back, std::chrono::milliseconds delay, Moment& now);
    // Raised and not yet cleared.
    bool active() const { return phase == AlarmPhase::kActive || phase == AlarmPhase::kClearing; }
};

}  // namespace runner::alarms
