#pragma once
// A run of battery32-run: the host played for the site's devices.

#include <vector>

#include "tools/common/console/console.h"
#include "tools/runner/host/device_chatter.h"
#include "tools/runner/host/plugin.h"
#include "tools/runner/host/simulated_lines.h"
#include "tools/runner/outputs/device_status.h"
#include "tools/runner/run_options.h"
#include "tools/runner/site/site.h"

namespace runner {

// Reads the site, the plug-in and the simulated modules the options name,
// announces the run, makes the outputs and polls the site until a stop signal
// is pending on `stop_fd` (stop_signals.h: a SIGHUP there reloads the site
// file instead), the rounds are done or the time limit passes. `options` must
// be resolved (ResolveOptions). Returns the exit status.
int PlayHost(const console::Console& console, const RunOptions& options, int stop_fd);

// The polling part of a run, for programs that set up their own site and
// lines (the line benchmark): `site` polled through `plugin` with the outputs
// `options` ask for, the device's lines going to `chatter`, until the loop
// ends. With `final`, every device's status at the end. A reload reads the
// options' site file, pointed at `simulated`'s lines when given. Returns the
// exit status.
int PollWithOutputs(const RunOptions& options, const console::Console& console,
                    const site::Site& site, const host::Plugin& plugin,
                    host::DeviceChatter& chatter, int stop_fd,
                    std::vector<outputs::DeviceStatus>* final = nullptr,
                    const host::SimulatedLines* simulated = nullptr);

}  // namespace runner
