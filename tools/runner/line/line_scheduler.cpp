#include "tools/runner/line/line_scheduler.h"

#include <algorithm>
#include <tuple>

namespace runner::line {

LineScheduler::LineScheduler(std::vector<std::size_t> order, Clock::duration tick,
                             Clock::time_point start)
    : tick_(tick) {
    for (std::size_t device : order) entries_.push_back(Entry{device, start, std::nullopt});
}

std::optional<std::size_t> LineScheduler::Next(Clock::time_point now, const MayStart& may_start) {
    if (holder_) return std::nullopt;
    const Entry* chosen = nullptr;
    bool any_due = false;
    for (const Entry& e : entries_) {
        if (e.due > now) continue;
        any_due = true;
        // Served first: due longest; among equals, the one whose last turn was longest
        // ago (an empty optional, never, orders first); then the polling order.
        const bool first = chosen == nullptr ||
                           std::tie(e.due, e.last_turn) < std::tie(chosen->due, chosen->last_turn);
        if (first && may_start(e.device)) chosen = &e;
    }
    if (!any_due && behind_) {
        // Everyone served with time to spare: the line keeps up again.
        behind_ = false;
        change_ = Pace{false, entries_.size(), Clock::duration::zero(), tick_};
    }
    if (chosen == nullptr) return std::nullopt;
    return chosen->device;
}

std::optional<LineScheduler::Clock::duration> LineScheduler::Take(std::size_t device,
                                                                  Clock::time_point now) {
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [device](const Entry& e) { return e.device == device; });
    if (it == entries_.end()) return std::nullopt;
    holder_ = device;
    deadline_.reset();
    Entry& e = *it;
    // A device a whole tick late missed a tick: the line cannot keep up. The
    // first turn is left out, since it may have waited for partners.
    if (tick_ > Clock::duration::zero() && e.last_turn && now - e.due >= tick_ && !behind_) {
        behind_ = true;
        change_ = Pace{true, entries_.size(), now - *e.last_turn, tick_};
    }
    // Due again a tick after it was due; when that has passed already, due
    // now, behind every device that has waited longer: no catch-up burst.
    e.due = std::max(e.due + tick_, now);
    const std::optional<Clock::duration> since_last =
        e.last_turn ? std::optional(now - *e.last_turn) : std::nullopt;
    e.last_turn = now;
    return since_last;
}

void LineScheduler::Release() {
    holder_.reset();
    deadline_.reset();
}

void LineScheduler::Restart(Clock::time_point now) {
    Release();
    for (Entry& e : entries_) {
        e.due = now;
        e.last_turn.reset();
    }
    behind_ = false;
}

void LineScheduler::Shift(Clock::duration held) {
    for (Entry& e : entries_) {
        e.due += held;
        if (e.last_turn) *e.last_turn += held;
    }
    if (deadline_) *deadline_ += held;
}

std::optional<LineScheduler::Clock::time_point> LineScheduler::WakeAt(
    const MayStart& may_start) const {
    if (holder_) return deadline_;
    std::optional<Clock::time_point> wake;
    for (const Entry& e : entries_) {
        if (!may_start(e.device)) continue;
        if (!wake || e.due < *wake) wake = e.due;
    }
    return wake;
}

std::optional<LineScheduler::Pace> LineScheduler::TakePaceChange() {
    std::optional<Pace> out = change_;
    change_.reset();
    return out;
}

}  // namespace runner::line
