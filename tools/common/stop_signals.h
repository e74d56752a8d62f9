#pragma once
// SIGINT, SIGTERM, SIGHUP and SIGQUIT as a descriptor that becomes readable,
// so that a program waiting in poll learns of them there: no handler runs,
// nothing interrupts a call. A program that only stops treats them alike; one
// that tells them apart takes them one by one (TakeSignal).
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

    // Readable once one of the signals is pending; -1 if none could be made
    // (the signals then keep their usual effect).
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    sigset_t previous_{};
};

// The next signal pending on `fd` (a StopSignals' descriptor), taken: its
// number; 0 when none is pending; -1 when what the descriptor holds is not a
// signal (a program that stops on anything readable there may pass a pipe).
int TakeSignal(int fd);

// Whether this process has a controlling terminal. A terminal that hangs up
// (its window closed, its connection lost) is taken from every process of its
// session before any of them is sent SIGHUP: a hang-up that finds none left
// came with the terminal's end.
bool HasTerminal();

}  // namespace stop_signals
