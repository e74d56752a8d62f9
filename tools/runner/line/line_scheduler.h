#pragma once
// Who talks on one shared serial line, and when. One exchange at a time: a
// device holds the line from its turn until its round ends or its reply
// timeout passes. Each device is due once per tick; a free line serves the
// device that has been due longest (ties in polling order, so partners go
// before the devices that add them). A line that cannot serve everyone once a
// tick still serves them in turn, none twice while another waits, and never
// bursts to catch up. Pure logic: the caller brings the clock.

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

namespace runner::line {

class LineScheduler {
public:
    using Clock = std::chrono::steady_clock;
    // Whether a device may begin a turn now (a device that adds partners'
    // voltages may have to wait for their first record).
    using MayStart = std::function<bool(std::size_t device)>;

    // A change in whether the line keeps up with the tick, reported once each way.
    struct Pace {
        bool behind = false;  // true: fell behind; false: caught up again
        std::size_t devices = 0;
        Clock::duration cycle{};  // measured time between two turns of a device
        Clock::duration tick{};
    };

    // `order`: the devices in polling order; all are first due at `start`.
    // A zero tick polls back to back.
    LineScheduler(std::vector<std::size_t> order, Clock::duration tick, Clock::time_point start);

    // The device whose turn it is at `now`, if the line is free and one is due.
    std::optional<std::size_t> Next(Clock::time_point now, const MayStart& may_start);
    // `device` takes the line at `now` (its turn begins). Returns the time
    // since its previous turn, if it had one.
    std::optional<Clock::duration> Take(std::size_t device, Clock::time_point now);
    // A command went out: the holder waits for its reply until `deadline`.
    void AwaitReply(Clock::time_point deadline) { deadline_ = deadline; }
    // The holder's exchange is over (round ended, timeout, line lost).
    void Release();
    // After the line came back: nobody holds it, everyone is due now.
    void Restart(Clock::time_point now);
    // After `held` in which the program did not run: every time kept moves
    // on by as much, as if that time had not passed.
    void Shift(Clock::duration held);

    std::optional<std::size_t> holder() const { return holder_; }
    // The holder's reply deadline, once its command went out.
    std::optional<Clock::time_point> deadline() const { return holder_ ? deadline_ : std::nullopt; }
    // When the line next needs attention: the reply deadline while held, else
    // the earliest due among the devices that may start.
    std::optional<Clock::time_point> WakeAt(const MayStart& may_start) const;
    // A change of pace since the last call, if any.
    std::optional<Pace> TakePaceChange();
    std::size_t size() const { return entries_.size(); }

private:
    struct Entry {
        std::size_t device;
        Clock::time_point due;
        std::optional<Clock::time_point> last_turn;
    };

    Clock::duration tick_;
    std::vector<Entry> entries_;  // in polling order
    std::optional<std::size_t> holder_;
    std::optional<Clock::time_point> deadline_;
    bool behind_ = false;
    std::optional<Pace> change_;
};

}  // namespace runner::line
