#pragma once
// One serial line shared by the devices on it: whose turn it is, holding the
// line for one exchange, the reply timeout, handing each burst to the device
// that waits for it, and the notes about a line that cannot keep up. The
// devices themselves are reached through LineDevices (the site poller), which
// hands back what each call did.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/common/console/console.h"
#include "tools/runner/line/line_pace.h"
#include "tools/runner/line/line_scheduler.h"
#include "tools/runner/line/link_tracker.h"
#include "tools/runner/line/port_line.h"
#include "tools/runner/loop/participant.h"

namespace runner::line {

using Clock = std::chrono::steady_clock;

// What one call into a device did on its line.
struct CallResult {
    bool sent = false;           // a command went out on the line (see LineTurns::Send)
    bool round_begun = false;    // the device began a round
    bool exchange_over = false;  // process returned 0: the exchange is over
};

// The devices as their lines reach them, by the index the site gives them.
class LineDevices {
public:
    virtual ~LineDevices() = default;
    // The device's turn: RefreshStatus.
    virtual CallResult Tick(std::size_t device) = 0;
    // A burst for the device: process.
    virtual CallResult Hand(std::size_t device, std::uint8_t* burst, std::size_t length) = 0;
    // Whether the device may begin a turn now (one that adds partners'
    // voltages may wait for their first record).
    virtual bool MayStart(std::size_t device, Clock::time_point now) const = 0;
};

// A device on the line.
struct LineMember {
    std::size_t device = 0;  // its index in LineDevices
    std::string label;       // its data id, for trace lines
    unsigned address = 0;    // its module's wire address
    LinkTracker* link = nullptr;
    PortState* port = nullptr;  // its copy of how the line's port stands
    LinePace* pace = nullptr;   // its copy of how fast the line goes
};

struct LineSettings {
    PortOptions port;
    Clock::duration reply_timeout{};
    Clock::duration tick{};
    bool trace = false;
};

class LineTurns : public loop::Participant {
public:
    // `members` in polling order.
    LineTurns(const LineSettings& settings, std::vector<LineMember> members, LineDevices& devices,
              const console::Console& console);

    // Opens the port if it is down and its retry is due; true when it is up.
    bool OpenIfDue(Clock::time_point now);
    // After the first OpenIfDue failed: why, and whether it is retried.
    void SayNotOpened(bool retrying) const { port_.SayNotOpened(retrying); }
    // A device of this line sent `bytes` during a call: they go out now. True
    // when they did.
    bool Send(std::size_t device, const std::uint8_t* bytes, std::size_t length);

    bool up() const { return port_.up(); }
    const std::string& path() const { return port_.path(); }
    const PortState& port_state() const { return port_.state(); }
    // How fast the line goes (each member has a copy).
    const LinePace& pace() const { return pace_; }

    void AddWaits(std::vector<pollfd>& fds, Clock::time_point& wake) override;
    void HandleWaits(const pollfd* fds, std::size_t count, Clock::time_point now) override;
    // The time held counts neither as lateness nor as silence nor against a reply.
    void Resumed(Clock::duration held, Clock::time_point now) override;

private:
    void Opened(Clock::time_point now);
    // Brings the members' copies of the port's state up to date.
    void ShowPortState();
    // Brings the members' copies of the line's pace up to date.
    void ShowPace();
    // Reads the port; `revents` as the wait reported them, 0 for a look of
    // its own.
    void Read(short revents, Clock::time_point now);
    void Serve(Clock::time_point now);
    void TakeTurn(std::size_t member, Clock::time_point now);
    void Deliver(std::vector<std::uint8_t> burst);
    // After a call that sent a command: the holder waits for its reply.
    void AwaitReply();
    const LineMember* Member(std::size_t device) const;
    // --trace: a reply that came in pieces is shown as one line, once it is
    // whole (the length its command asks for), over (the device's exchange
    // ended or it sent again) or something else is shown.
    void TraceReplyPiece(const std::vector<std::uint8_t>& burst, const std::string& to);
    void TraceReplyShown();
    LineScheduler::MayStart MayStartNow(Clock::time_point now) const;

    LineSettings settings_;
    std::vector<LineMember> members_;
    LineDevices& devices_;
    const console::Console& console_;
    PortLine port_;
    LineScheduler schedule_;
    Clock::time_point sent_at_{};  // when the last command went out
    bool reply_started_ = false;   // a burst came since the last command
    std::uint64_t port_changes_shown_ = 0;
    LinePace pace_;
    std::string traced_reply_;  // --trace: the bytes of the reply coming in
    std::string traced_to_;
    int traced_pieces_ = 0;
    std::size_t traced_bytes_ = 0;
    std::size_t traced_whole_ = 0;  // the length of the reply the last command asks for
};

}  // namespace runner::line
