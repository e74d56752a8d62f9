#pragma once
// The stop signals' descriptor (tools/common/stop_signals.h) in the loop: once
// a stop signal is pending, the loop is asked to stop. The signal is left
// pending; the program takes it when it lifts the block.

#include "tools/runner/loop/event_loop.h"
#include "tools/runner/loop/participant.h"

namespace runner::loop {

class StopSignalWatch : public Participant {
public:
    StopSignalWatch(int stop_fd, EventLoop& loop) : fd_(stop_fd), loop_(loop) {}

    void AddWaits(std::vector<pollfd>& fds, Clock::time_point&) override {
        fds.push_back(pollfd{fd_, POLLIN, 0});
    }
    void HandleWaits(const pollfd* fds, std::size_t count, Clock::time_point) override {
        if (count > 0 && fds[0].revents != 0) loop_.RequestStop();
    }

private:
    int fd_;
    EventLoop& loop_;
};

}  // namespace runner::loop
