#include "tools/runner/loop/outlet_drain.h"

#include <algorithm>

namespace runner::loop {
namespace {

constexpr auto kRest = std::chrono::milliseconds(50);

}  // namespace

OutletDrain::OutletDrain(const std::vector<console::Outlet*>& outlets) {
    for (console::Outlet* o : outlets) {
        const bool known = std::any_of(watched_.begin(), watched_.end(),
                                       [o](const Watched& w) { return w.outlet == o; });
        if (o != nullptr && !known) watched_.push_back(Watched{o, {}});
    }
    waiting_.reserve(watched_.size());
}

void OutletDrain::AddWaits(std::vector<pollfd>& fds, Clock::time_point& wake) {
    waiting_.clear();
    const auto now = Clock::now();
    for (Watched& w : watched_) {
        if (!w.outlet->holding()) continue;
        if (now < w.rest_until) {
            wake = std::min(wake, w.rest_until);
            continue;
        }
        fds.push_back(pollfd{w.outlet->fd(), POLLOUT, 0});
        waiting_.push_back(&w);
    }
}

void OutletDrain::HandleWaits(const pollfd* fds, std::size_t count, Clock::time_point now) {
    for (std::size_t i = 0; i < count && i < waiting_.size(); ++i) {
        if (fds[i].revents == 0) continue;
        if (!waiting_[i]->outlet->Drain()) waiting_[i]->rest_until = now + kRest;
    }
}

}  // namespace runner::loop
