#include "tools/runner/loop/event_loop.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace runner::loop {
namespace {

// A pass (the participants' work and the wait) longer than its wait by this
// much was not the program's own doing: it was held.
constexpr auto kHeld = std::chrono::seconds(2);

}  // namespace

EventLoop::Ending EventLoop::Run(Clock::time_point deadline) {
    auto served = Clock::now();
    while (!stop_requested_) {
        const auto now = Clock::now();
        if (now >= deadline) return Ending::kTimeLimit;
        Clock::time_point wake = std::min(deadline, now + std::chrono::seconds(1));
        fds_.clear();
        shares_.clear();
        for (Participant* p : participants_) {
            const std::size_t before = fds_.size();
            p->AddWaits(fds_, wake);
            shares_.push_back(fds_.size() - before);
        }
        const auto wait = std::max(Clock::duration::zero(), wake - Clock::now());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        if (::ppoll(fds_.data(), fds_.size(), &timeout, nullptr) < 0) {
            if (errno == EINTR) continue;
            error_ = std::strerror(errno);
            return Ending::kWaitFailed;
        }
        const auto woke = Clock::now();
        if (const auto held = woke - served - wait; held > kHeld) Resumed(held, woke);
        if (!Serve(woke) && reload_requested_ && !stop_requested_) {
            reload_requested_ = false;
            if (reload_) reload_();
        }
        served = Clock::now();  // a reload's time is the program's own, not a hold
    }
    return Ending::kStopped;
}

void EventLoop::Resumed(Clock::duration held, Clock::time_point now) {
    for (Participant* p : participants_) p->Resumed(held, now);
}

bool EventLoop::Serve(Clock::time_point last) {
    std::size_t offset = 0;
    for (std::size_t i = 0; i < participants_.size(); ++i) {
        // Held while the one before was served: the rest must know before their turn.
        const auto now = Clock::now();
        if (now - last > kHeld) Resumed(now - last, now);
        last = now;
        participants_[i]->HandleWaits(fds_.data() + offset, shares_[i], now);
        offset += shares_[i];
        if (stop_requested_ || reload_requested_) return false;
    }
    return true;
}

void EventLoop::Add(Participant& participant, const Participant* before) {
    const auto at = std::find(participants_.begin(), participants_.end(), before);
    participants_.insert(before == nullptr ? participants_.end() : at, &participant);
}

void EventLoop::Remove(const Participant& participant) {
    participants_.erase(std::remove(participants_.begin(), participants_.end(), &participant),
                        participants_.end());
}

}  // namespace runner::loop
