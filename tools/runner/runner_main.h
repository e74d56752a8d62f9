#pragma once
// battery32-run as a function, so that tests can run it in a child process
// without exec (which a 32-bit MIPS build under user-mode emulation cannot do).

namespace runner {

// Runs the command line; returns the exit status. Uses the process's stdout,
// stderr and SIGINT/SIGTERM handlers while it runs.
int RunnerMain(int argc, char** argv);

}  // namespace runner
