#pragma once
// battery32-run decode: a history file as CSV rows, or JSON lines with --json.

#include <string>
#include <vector>

namespace record {

// Runs "decode" with `args`, the arguments after it: the history file as CSV
// (or JSON lines) on stdout; a trailing partial record is reported on stderr
// and skipped. Returns the exit status.
int DecodeCommand(const std::vector<std::string>& args);

}  // namespace record
