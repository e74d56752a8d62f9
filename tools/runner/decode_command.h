#pragma once

#include "tools/runner/options.h"

namespace runner {

// battery32-run decode FILE: the history file as CSV (or JSON lines) on
// stdout; a trailing partial record is reported on stderr and skipped.
// Returns the exit status.
int DecodeHistory(const DecodeOptions& options);

}  // namespace runner
