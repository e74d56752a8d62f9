#pragma once
// The runner's one thread: a ppoll loop over what its participants wait on.
// Each pass lists every participant's descriptors and the earliest time one
// of them wants to run, waits, then serves the participants in the order they
// were added, each with the clock read afresh. A stop is one request, asked
// for by whoever sees the reason (a stop signal, the rounds done), and
// honoured where the loop turns: after the participant that asked. A reload
// is asked for the same way (a hang-up signal) and honoured there too: the
// pass ends, the reload runs outside every participant's turn (so it may add
// and remove participants), and the loop goes on.
//
// A pass that took seconds longer than its wait means the program was held
// (stopped, or paused by a debugger): the participants are told before they
// are served, so that the time is not held against the lines and modules.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "tools/runner/loop/participant.h"

namespace runner::loop {

class EventLoop {
public:
    enum class Ending { kStopped, kTimeLimit, kWaitFailed };

    // Participants are served in the order added (before `before`, when
    // given and taking part) and must outlive the loop's run, or be removed.
    void Add(Participant& participant, const Participant* before = nullptr);
    // Between passes only: in a reload, say.
    void Remove(const Participant& participant);
    void RequestStop() { stop_requested_ = true; }
    bool stop_requested() const { return stop_requested_; }
    // What a reload does; without it a reload request is dropped.
    void OnReload(std::function<void()> reload) { reload_ = std::move(reload); }
    void RequestReload() { reload_requested_ = true; }

    // Runs until a stop is requested or `deadline` passes. Every participant
    // is served at least once a second. After kWaitFailed, error() says why.
    Ending Run(Clock::time_point deadline);
    const std::string& error() const { return error_; }

private:
    // Serves every participant after the wait that ended at `woke`; false
    // when one asked to stop or to reload.
    bool Serve(Clock::time_point woke);
    // Tells every participant that the program did not run for `held`.
    void Resumed(Clock::duration held, Clock::time_point now);

    std::vector<Participant*> participants_;
    std::vector<pollfd> fds_;
    std::vector<std::size_t> shares_;  // entries each participant added
    bool stop_requested_ = false;
    bool reload_requested_ = false;
    std::function<void()> reload_;
    std::string error_;
};

}  // namespace runner::loop
