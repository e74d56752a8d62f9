#include "tools/runner/line/line_turns.h"

#include <algorithm>

#include "battery/protocol.h"
#include "tools/common/time_text.h"

namespace runner::line {
namespace {

// A reply's start carries the address of the module that sent it.
bool FromAnotherAddress(const std::vector<std::uint8_t>& burst, unsigned address) {
    return burst.size() >= 2 && burst[0] == battery_protocol::kReplyLead &&
           burst[1] != (address & 0xFFu);
}

// "device 1001" or "devices 1001, 1002", for the port's notes.
std::string Users(const std::vector<LineMember>& members) {
    std::string names = members.size() == 1 ? "device " : "devices ";
    for (std::size_t k = 0; k < members.size(); ++k) names += (k ? ", " : "") + members[k].label;
    return names;
}

std::vector<std::size_t> Order(const std::vector<LineMember>& members) {
    std::vector<std::size_t> order;
    for (const LineMember& m : members) order.push_back(m.device);
    return order;
}

void ReportPace(const console::Console& console, const std::string& path,
                const LineScheduler::Pace& pace) {
    const std::string line = "port " + path + ": ";
    if (pace.behind) {
        console.Problem(line + std::to_string(pace.devices) + " devices take " +
                        time_text::Duration(pace.cycle) + " to each get a turn, more than the " +
                        time_text::Duration(pace.tick) +
                        " tick: they are polled in turn as fast as the line allows");
    } else {
        console.Problem(line + "keeping up with the " + time_text::Duration(pace.tick) +
                        " tick again");
    }
}

}  // namespace

LineTurns::LineTurns(const LineSettings& settings, std::vector<LineMember> members,
                     LineDevices& devices, const console::Console& console)
    : settings_(settings),
      members_(std::move(members)),
      devices_(devices),
      console_(console),
      port_(settings.port, Users(members_), console),
      schedule_(Order(members_), settings.tick, Clock::now()) {}

const LineMember* LineTurns::Member(std::size_t device) const {
    for (const LineMember& m : members_)
        if (m.device == device) return &m;
    return nullptr;
}

LineScheduler::MayStart LineTurns::MayStartNow(Clock::time_point now) const {
    return [this, now](std::size_t device) { return devices_.MayStart(device, now); };
}

bool LineTurns::OpenIfDue(Clock::time_point now) {
    if (port_.up()) return true;
    if (!port_.OpenIfDue(now)) return false;
    Opened(now);
    return true;
}

void LineTurns::ShowPortState() {
    if (port_.changes() == port_changes_shown_) return;
    port_changes_shown_ = port_.changes();
    for (const LineMember& m : members_)
        if (m.port != nullptr) *m.port = port_.state();
    ShowPace();
}

void LineTurns::ShowPace() {
    for (const LineMember& m : members_)
        if (m.pace != nullptr) *m.pace = pace_;
}

// Nobody holds the line, everyone is due, and the silence clocks start.
void LineTurns::Opened(Clock::time_point now) {
    pace_.Start(now);
    ShowPortState();
    schedule_.Restart(now);
    for (const LineMember& m : members_) m.link->PollingStarts(now);
}

bool LineTurns::Send(std::size_t device, const std::uint8_t* bytes, std::size_t length) {
    const LineMember* member = Member(device);
    if (member == nullptr || bytes == nullptr) return false;
    port_.DiscardHeld();
    const auto now = Clock::now();
    const bool sent = port_.Write(bytes, length, now);
    if (settings_.trace) {
        TraceReplyShown();
        const auto reply = ReplyShapeFor(bytes, length);
        traced_whole_ = reply ? reply->length : 0;
        console_.Note("  " + port_.path() + " > " + HexText(bytes, length) + " (from " +
                      member->label + (sent ? ")" : ", not sent: port down)"));
    }
    if (sent) sent_at_ = now;
    ShowPortState();
    return sent;
}

void LineTurns::AwaitReply() {
    reply_started_ = false;
    schedule_.AwaitReply(sent_at_ + settings_.reply_timeout);
}

void LineTurns::AddWaits(std::vector<pollfd>& fds, Clock::time_point& wake) {
    if (!port_.up()) {
        wake = std::min(wake, port_.next_retry());
        return;
    }
    const auto burst = port_.BurstDeadline();
    // Past the reply deadline with a reply still coming in: wait for the reply, not spin.
    const auto due =
        burst && schedule_.holder() ? burst : schedule_.WakeAt(MayStartNow(Clock::now()));
    if (due) wake = std::min(wake, *due);
    if (burst) wake = std::min(wake, *burst);
    fds.push_back(pollfd{port_.fd(), POLLIN, 0});
}

// The port is read first, so that bytes that came during a long pass count
// before a burst is judged over; then a burst whose gap has passed goes to the
// device, then the line is served. What the wait reported is already old by
// the time this line's turn comes (other lines' devices and the outputs ran
// since): a burst that looks over is judged only after another read.
void LineTurns::HandleWaits(const pollfd* fds, std::size_t count, Clock::time_point now) {
    if (!port_.up()) {
        OpenIfDue(now);
        return;
    }
    const short revents = count > 0 && fds[0].fd == port_.fd() ? fds[0].revents : 0;
    const auto burst_due = port_.BurstDeadline();
    if (revents != 0 || (burst_due && now >= *burst_due)) Read(revents, now);
    if (!port_.up()) return;
    if (auto burst = port_.TakeQuietBurst(now)) Deliver(std::move(*burst));
    if (port_.up()) Serve(now);
}

void LineTurns::Resumed(Clock::duration held, Clock::time_point) {
    schedule_.Shift(held);
    for (const LineMember& m : members_) m.link->Shift(held);
}

void LineTurns::Read(short revents, Clock::time_point now) {
    auto bursts = port_.ReadAvailable(now, revents != 0);
    ShowPortState();
    for (auto& burst : bursts) Deliver(std::move(burst));
    if (port_.up() && (revents & (POLLHUP | POLLERR | POLLNVAL))) {
        port_.MarkLost((revents & POLLHUP) ? "hung up" : "line error", now);
    }
}

void LineTurns::Serve(Clock::time_point now) {
    // A reply still coming in is waited for: handing it over late beats handing it to the next
    // device.
    if (const auto deadline = schedule_.deadline();
        deadline && now >= *deadline && !port_.BurstDeadline()) {
        const LineMember& holder = *Member(*schedule_.holder());
        holder.link->Unanswered();
        if (settings_.trace) {
            TraceReplyShown();
            console_.Note("  " + port_.path() + " no reply for " + holder.label);
        }
        schedule_.Release();
    }
    // A turn that sends nothing leaves the line free for the next; each device at most once here.
    const auto may_start = MayStartNow(now);
    for (std::size_t turns = 0; turns < schedule_.size() && port_.up(); ++turns) {
        const auto next = schedule_.Next(now, may_start);
        if (!next) break;
        TakeTurn(*next, now);
        if (schedule_.holder()) break;
    }
    if (const auto pace = schedule_.TakePaceChange(); pace && settings_.tick > Clock::duration{}) {
        ReportPace(console_, port_.path(), *pace);
    }
}

void LineTurns::TakeTurn(std::size_t device, Clock::time_point now) {
    LinkTracker& link = *Member(device)->link;
    if (const auto interval = schedule_.Take(device, now)) {
        pace_.Turn(*interval);
        ShowPace();
    }
    link.TurnTaken();
    const CallResult result = devices_.Tick(device);
    if (result.round_begun) link.RoundBegun();
    if (result.sent && !result.round_begun) link.Resent();
    // Nothing went out (the port failed, say): nothing to wait for.
    if (!result.sent) {
        if (schedule_.holder() == device) schedule_.Release();
        return;
    }
    if (schedule_.holder() == device) AwaitReply();
}

void LineTurns::Deliver(std::vector<std::uint8_t> burst) {
    const std::optional<std::size_t> holder = schedule_.holder();
    const LineMember* member = holder ? Member(*holder) : nullptr;
    if (settings_.trace) TraceReplyPiece(burst, member ? member->label : "nobody: dropped");
    if (member == nullptr) {  // nobody is waiting: a late reply or line noise
        if (settings_.trace) TraceReplyShown();
        return;
    }
    if (!reply_started_ && FromAnotherAddress(burst, member->address)) member->link->ForeignReply();
    reply_started_ = true;
    const std::uint64_t rounds = member->link->rounds();
    const CallResult result =
        devices_.Hand(member->device, burst.data(), static_cast<unsigned>(burst.size()));
    if (member->link->rounds() != rounds) {
        pace_.Round(Clock::now());
        ShowPace();
    }
    if (result.round_begun) member->link->RoundBegun();
    if (result.sent && schedule_.holder() == holder) AwaitReply();
    if (settings_.trace && (result.sent || result.exchange_over)) TraceReplyShown();
    if (!result.exchange_over) return;  // more to come: a reply in pieces, or the next command
    member->link->ExchangeEnded();
    if (schedule_.holder() == holder) schedule_.Release();
}

void LineTurns::TraceReplyPiece(const std::vector<std::uint8_t>& burst, const std::string& to) {
    if (traced_pieces_ > 0 && to != traced_to_) TraceReplyShown();
    traced_reply_ += (traced_reply_.empty() ? "" : " ") + HexText(burst.data(), burst.size());
    traced_to_ = to;
    ++traced_pieces_;
    traced_bytes_ += burst.size();
    // Before the device takes it: its round line follows the reply that ends the round.
    if (traced_bytes_ >= traced_whole_) TraceReplyShown();
}

void LineTurns::TraceReplyShown() {
    if (traced_pieces_ == 0) return;
    console_.Note(
        "  " + port_.path() + " < " + traced_reply_ + " (to " + traced_to_ +
        (traced_pieces_ > 1 ? ", in " + std::to_string(traced_pieces_) + " pieces)" : ")"));
    traced_reply_.clear();
    traced_pieces_ = 0;
    traced_bytes_ = 0;
}

}  // namespace runner::line
