#pragma once
// How a part of the runner shares its one thread. The runner waits in a
// single ppoll loop (event_loop.h); whatever has descriptors to watch or work
// that falls due (a serial line, the web view, the broker connection, a stop
// signal) takes part in it. Nothing ever gets a thread of its own and nothing
// blocks: each participant does its work in short, non-blocking steps, so a
// slow peer can never hold up polling.

#include <poll.h>

#include <chrono>
#include <cstddef>
#include <vector>

namespace runner::loop {

using Clock = std::chrono::steady_clock;

class Participant {
public:
    virtual ~Participant() = default;
    // Before each wait: appends the descriptors to wait on and may bring
    // `wake` forward to when it next needs to run (never push it back).
    virtual void AddWaits(std::vector<pollfd>& fds, Clock::time_point& wake) = 0;
    // After every wait, with the entries this participant added (their
    // `revents` filled in; all zero after a timeout). Must not block.
    virtual void HandleWaits(const pollfd* fds, std::size_t count, Clock::time_point now) = 0;
    // Before a pass that follows a time the whole program did not run (it was
    // stopped with SIGSTOP or Ctrl-Z, or a debugger held it): for `held`, no
    // peer can have been served, so timers that judge peers by it move on by
    // as much.
    virtual void Resumed(Clock::duration /*held*/, Clock::time_point /*now*/) {}
};

}  // namespace runner::loop
