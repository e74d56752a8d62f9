#pragma once
// SIGINT, SIGTERM, SIGHUP (terminal closed) and SIGQUIT as a descriptor that
// becomes readable, so that a program waiting in poll ends the same way
// whichever of them comes: no handler runs, nothing interrupts a call.
//
// The signals are blocked while the object lives: make it before the program
// starts any thread (every thread must block them, or one that does not would
// take the signal and die of it), and start no child process meanwhile (it
// would inherit the blocked mask). The previous mask comes back at the end.

#include <signal.h>

namespace stop_signals {

class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Readable once a stop signal is pending; -1 if none could be made (the
    // signals then keep their usual effect).
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    sigset_t previous_{};
};

}  // namespace stop_signals
