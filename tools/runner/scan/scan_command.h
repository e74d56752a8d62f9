#pragma once
// battery32-run scan PORT: asks every address in a range for its cell
// voltages, one command each, and lists the modules that answered, with their
// first cells; says whether the line echoes and what came from the wrong
// address or garbled. For the first question on a new line: is anything
// answering? It writes nothing but its lines.

#include <string>
#include <vector>

namespace runner::scan {

// Runs "scan" with `args`, the arguments after it. Returns the exit status:
// 0 when a module answered, 1 when none did or the port cannot be used, 2 for
// a bad command line.
int ScanCommand(const std::vector<std::string>& args);

}  // namespace runner::scan
