#pragma once
// --alarm-command PROGRAM: the program run on every alarm raised or cleared,
// the way users get push alerts through whatever tool they already use. The
// alarm goes in its environment as BATTERY32_ALARM_<KEY> for every key of the
// alarm's JSON (alarm_log::AlarmEnvironment); no shell is involved, so no text
// from a site file is ever interpreted.
//
// It never holds up polling: the program is started with posix_spawn (the
// runner only waits for the exec), in a process group of its own, with a clean
// signal mask and default signal dispositions (the runner blocks its stop
// signals and ignores SIGPIPE), stdin from /dev/null and stdout on the
// runner's stderr. At most kAtOnce run at a time; later alarms wait, up to
// kWaiting of them, beyond which they are dropped and counted. A run past its
// time limit is killed with its group. Every failure is one line.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "tools/common/console/console.h"
#include "tools/runner/outputs/output.h"

namespace runner::outputs {

class AlarmCommand : public Output, public loop::Participant {
public:
    static constexpr std::size_t kAtOnce = 4;
    static constexpr std::size_t kWaiting = 64;
    // How long Finish waits for the runs still going (each within its limit).
    static constexpr std::chrono::seconds kFinishGrace{3};

    AlarmCommand(std::string program, loop::Clock::duration time_limit,
                 const console::Console& console);
    ~AlarmCommand() override;

    void OnAlarm(const AlarmChange& change) override;
    // Gives the runs still going and waiting up to kFinishGrace, kills what
    // is left and says what was run.
    void Finish() override;
    loop::Participant* participant() override { return this; }
    void AddWaits(std::vector<pollfd>& fds, loop::Clock::time_point& wake) override;
    void HandleWaits(const pollfd* fds, std::size_t count, loop::Clock::time_point now) override;

private:
    struct Run {
        pid_t pid = -1;
        loop::Clock::time_point deadline;
        std::string what;  // "raised on 1001, rule cell_low (battery_2_value)"
        bool killed = false;
    };
    struct Waiting {
        std::vector<std::string> environment;
        std::string what;
    };

    // Ends the runs that are over, kills the overdue, starts waiting ones.
    void Serve(loop::Clock::time_point now);
    void Spawn(Waiting waiting, loop::Clock::time_point now);
    void Ended(const Run& run, int status);

    std::string program_;
    loop::Clock::duration time_limit_;
    const console::Console& console_;
    std::vector<Run> running_;
    std::deque<Waiting> waiting_;
    std::uint64_t started_ = 0;
    std::uint64_t failed_ = 0;
    std::uint64_t dropped_ = 0;
};

}  // namespace runner::outputs
