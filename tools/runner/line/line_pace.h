#pragma once
// How fast a line goes, as measured while it runs: its cycle (the time
// between two turns of one device, averaged over the latest turns) and the
// rounds its devices complete per second. The rate is an exponentially
// weighted one with a ten-second time constant, read at any moment: a line
// that stops completing rounds falls towards zero without any event. Both are
// unknown until measured (cycle zero, rate absent).

#include <chrono>
#include <cmath>
#include <optional>

namespace runner::line {

class LinePace {
public:
    using Clock = std::chrono::steady_clock;

    // Weight of the newest turn in the cycle's average.
    static constexpr double kTurnWeight = 0.125;
    // The rate's time constant: rounds further back count for less.
    static constexpr double kRateSeconds = 10.0;

    // A device's turn came `interval` after its previous one.
    void Turn(Clock::duration interval) {
        const double seconds = std::chrono::duration<double>(interval).count();
        cycle_seconds_ = cycle_seconds_ > 0
                             ? cycle_seconds_ + kTurnWeight * (seconds - cycle_seconds_)
                             : seconds;
    }
    // A device on the line completed a round at `now`.
    void Round(Clock::time_point now) {
        if (!since_) since_ = now;
        weight_ = Decayed(now) + 1.0 / kRateSeconds;
        last_round_ = now;
    }
    // Measuring starts (the port opened); rounds count from here.
    void Start(Clock::time_point now) {
        if (!since_) since_ = now;
    }

    // Seconds between two turns of a device; 0 before any device had two turns.
    double cycle_seconds() const { return cycle_seconds_; }
    // Rounds per second at `now`; nothing before the first round. The
    // weight is scaled up by what the time measured so far can hold, so the
    // first seconds do not read low.
    std::optional<double> RoundsPerSecond(Clock::time_point now) const {
        if (!last_round_) return std::nullopt;
        const double measured = std::chrono::duration<double>(now - *since_).count();
        const double covered = 1.0 - std::exp(-measured / kRateSeconds);
        return covered > 0 ? Decayed(now) / covered : 0.0;
    }

private:
    double Decayed(Clock::time_point now) const {
        if (!last_round_) return 0.0;
        const double age = std::chrono::duration<double>(now - *last_round_).count();
        return weight_ * std::exp(-age / kRateSeconds);
    }

    double cycle_seconds_ = 0;
    double weight_ = 0;  // the rate as of the last round
    std::optional<Clock::time_point> last_round_;
    std::optional<Clock::time_point> since_;
};

}  // namespace runner::line
