#include "tools/runner/loop/signal_watch.h"

#include <signal.h>

#include "tools/common/stop_signals.h"

namespace runner::loop {

SignalWatch::SignalWatch(int signal_fd, EventLoop& loop)
    : fd_(signal_fd), loop_(loop), had_terminal_(stop_signals::HasTerminal()) {}

void SignalWatch::HandleWaits(const pollfd* fds, std::size_t count, Clock::time_point) {
    if (count == 0 || fds[0].revents == 0) return;
    for (int signal; (signal = stop_signals::TakeSignal(fd_)) != 0;) {
        if (signal == SIGHUP && !(had_terminal_ && !stop_signals::HasTerminal())) {
            loop_.RequestReload();
        } else {
            loop_.RequestStop();
            return;
        }
    }
}

}  // namespace runner::loop
