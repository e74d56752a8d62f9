#pragma once
// One serial line as the runner keeps it: opened by name (a link such as
// /dev/serial/by-id/... followed anew at every open) with its site-file
// settings applied, read into bursts with its own echo taken off, written to,
// and reopened by name every few seconds after it fails or vanishes. Each
// change of state is reported once: one line when the line goes, one when it
// comes back, nothing while it stays away; one when it turns out to echo, one
// at the first garbled echo.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "battery/protocol.h"
#include "tools/common/console/console.h"
#include "tools/runner/line/burst_gatherer.h"
#include "tools/runner/line/echo_filter.h"
#include "tools/runner/line/port_state.h"

namespace runner::line {

struct PortOptions {
    std::string path;
    int baud = 0;
    std::chrono::steady_clock::duration burst_gap{};
    std::chrono::steady_clock::duration reopen_period{};
    PortSettings settings;            // echo and RS-485 mode, from the site file
    bool end_reply_on_length = true;  // false: only the quiet gap ends a reply
};

// "FE FE 01 A1 A2".
std::string HexText(const std::uint8_t* data, std::size_t length);

// Opens the port at `path` (serial_port::Open) and sets the RS-485 mode
// `settings` asks for. -1 and `*why` ("cannot open (...)", "cannot use it:
// its driver refuses ...") when that fails.
int OpenPort(const std::string& path, int baud, const PortSettings& settings, std::string* why);

class PortLine {
public:
    using Clock = std::chrono::steady_clock;
    using Bytes = std::vector<std::uint8_t>;
    // A burst is handed over at the latest when it holds as much as the device
    // keeps of one reply.
    static constexpr std::size_t kBurstLimit = battery_protocol::kMaxReplyBytes;

    PortLine(PortOptions options, std::string users, const console::Console& console);
    ~PortLine();
    PortLine(const PortLine&) = delete;
    PortLine& operator=(const PortLine&) = delete;

    // Opens the line if it is down and its retry is due. Returns true when it is up.
    bool OpenIfDue(Clock::time_point now);
    // After the first attempt to open failed: says why, and that it is
    // retried if `retrying` (the run goes on with other lines).
    void SayNotOpened(bool retrying) const;
    // Closes the line after a failure and schedules the retry.
    void MarkLost(const std::string& why, Clock::time_point now);

    // Reads everything waiting; returns the bursts that reached the limit or
    // hold the whole reply due. A read error or hang-up marks the line lost.
    // `polled`: the wait said the line was readable (a line that keeps saying
    // so and yields nothing is given up).
    std::vector<Bytes> ReadAvailable(Clock::time_point now, bool polled = true);
    std::optional<Bytes> TakeQuietBurst(Clock::time_point now) {
        return gatherer_.TakeIfQuiet(now);
    }
    std::optional<Clock::time_point> BurstDeadline() const { return gatherer_.Deadline(); }
    // Bytes still held belong to an exchange that is over once a new command goes out.
    void DiscardHeld() { gatherer_.Clear(); }

    // Sends a whole frame; false (and the line marked lost on a hard error) if
    // it could not. Its echo and its reply are due next.
    bool Write(const std::uint8_t* data, std::size_t length, Clock::time_point now);

    bool up() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::string& path() const { return options_.path; }
    Clock::time_point next_retry() const { return next_retry_; }
    const PortState& state() const { return state_; }
    // Counts the changes of state(), so that a copy can tell it is behind.
    std::uint64_t changes() const { return changes_; }

private:
    void Opened(int fd);
    // Closed or never opened: says so once, until the line is up again.
    void ReportDown(const std::string& what) const;
    // What the echo filter made of the bytes read.
    void EchoTaken(const EchoFilter::Taken& taken);
    void GarbledEcho(const std::string& what);
    // ", device node /dev/ttyUSB1" when the path led elsewhere.
    std::string NodeText() const;

    PortOptions options_;
    std::string users_;
    const console::Console& console_;
    BurstGatherer gatherer_;
    EchoFilter echo_;
    PortState state_;
    std::uint64_t changes_ = 0;
    int fd_ = -1;
    bool ever_opened_ = false;
    bool first_attempt_ = true;
    std::string first_failure_;  // why the first attempt to open failed
    Clock::time_point next_retry_{};
    int empty_wakeups_ = 0;  // readable, yet nothing to read
};

}  // namespace runner::line
