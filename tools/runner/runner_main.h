#pragma once
// battery32-run as a function, so that tests can run it in a child process
// without exec (which a 32-bit MIPS build under user-mode emulation cannot do).

namespace runner {

// Runs the command line; returns the exit status. Uses the process's stdout
// and stderr, and takes SIGINT, SIGTERM and SIGQUIT (blocked while it runs)
// as the request to stop, and SIGHUP as the one to read the site file again
// (or to stop, when it came because the terminal hung up). Call it before the
// process starts a thread.
int RunnerMain(int argc, char** argv);

}  // namespace runner
