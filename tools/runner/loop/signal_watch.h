#pragma once
// The signals' descriptor (tools/common/stop_signals.h) in the loop: SIGINT,
// SIGTERM and SIGQUIT ask the loop to stop; SIGHUP asks it to reload, unless
// it came because the runner's terminal hung up (its window closed, its
// connection lost), which stops it as before. Anything on the descriptor that
// is not a signal stops it too.

#include "tools/runner/loop/event_loop.h"
#include "tools/runner/loop/participant.h"

namespace runner::loop {

class SignalWatch : public Participant {
public:
    SignalWatch(int signal_fd, EventLoop& loop);

    void AddWaits(std::vector<pollfd>& fds, Clock::time_point&) override {
        fds.push_back(pollfd{fd_, POLLIN, 0});
    }
    void HandleWaits(const pollfd* fds, std::size_t count, Clock::time_point) override;

private:
    int fd_;
    EventLoop& loop_;
    bool had_terminal_;  // when polling began
};

}  // namespace runner::loop
