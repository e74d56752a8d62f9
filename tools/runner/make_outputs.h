#pragma once
// Which outputs a run has: the one place that knows every output there is.
// Adding an output means writing it (a folder of its own in outputs/) and
// adding it here.

#include <memory>

#include "tools/common/console/console.h"
#include "tools/runner/outputs/outputs.h"
#include "tools/runner/run_options.h"

namespace runner {

// The outputs `options` ask for, in the order they take events: the service
// manager's notifications (when started by one), the console lines, the
// history and the alarm log (after taking the data folder's lock), the alarm
// command, the broker, the web view. Null after one problem line when one
// cannot start. `site_name` is shown by the web view.
std::unique_ptr<outputs::Outputs> MakeOutputs(const RunOptions& options,
                                              const console::Console& console,
                                              const std::string& site_name);

}  // namespace runner
