#pragma once
// One serial line as the runner keeps it: opened by name, read into bursts,
// written to, and reopened by name every few seconds after it fails or
// vanishes. Each change of state is reported once: one line when the line goes,
// one when it comes back, nothing while it stays away.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "battery/protocol.h"
#include "tools/common/console.h"
#include "tools/runner/line/burst_gatherer.h"

namespace runner::line {

class PortLine {
public:
    using Clock = std::chrono::steady_clock;
    using Bytes = std::vector<std::uint8_t>;
    // A burst is handed over at the latest when it holds as much as the device
    // keeps of one reply.
    static constexpr std::size_t kBurstLimit = battery_protocol::kMaxReplyBytes;

    PortLine(std::string path, int baud, Clock::duration gap, Clock::duration reopen_period,
             std::string users, const console::Console& console);
    ~PortLine();
    PortLine(const PortLine&) = delete;
    PortLine& operator=(const PortLine&) = delete;

    // Opens the line if it is down and its retry is due. Returns true when it is up.
    bool OpenIfDue(Clock::time_point now);
    // Closes the line after a failure and schedules the retry.
    void MarkLost(const std::string& why, Clock::time_point now);

    // Reads everything waiting; returns the bursts that reached the limit. A
    // read error or hang-up marks the line lost. `polled`: the wait said the
    // line was readable (a line that keeps saying so and yields nothing is
    // given up).
    std::vector<Bytes> ReadAvailable(Clock::time_point now, bool polled = true);
    std::optional<Bytes> TakeQuietBurst(Clock::time_point now) {
        return gatherer_.TakeIfQuiet(now);
    }
    std::optional<Clock::time_point> BurstDeadline() const { return gatherer_.Deadline(); }
    // Bytes still held belong to an exchange that is over once a new command goes out.
    void DiscardHeld() { gatherer_.Clear(); }

    // Sends a whole frame; false (and the line marked lost on a hard error) if it could not.
    bool Write(const std::uint8_t* data, std::size_t length, Clock::time_point now);

    bool up() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    Clock::time_point next_retry() const { return next_retry_; }

private:
    // Closed or never opened: says so once, until the line is up again.
    void ReportDown(const std::string& what);

    std::string path_;
    int baud_;
    Clock::duration reopen_period_;
    std::string users_;
    const console::Console& console_;
    BurstGatherer gatherer_;
    int fd_ = -1;
    bool ever_opened_ = false;
    bool first_attempt_ = true;
    Clock::time_point next_retry_{};
    int empty_wakeups_ = 0;  // readable, yet nothing to read
};

}  // namespace runner::line
