#pragma once
// battery32-run --check: every check a start makes, and nothing started. The
// options and the files they name are read; the site file (and with
// --simulate the simulated modules); the plug-in is loaded and every device
// is made through it and given its settings, as at start; the data folder and
// the files a run would write there are looked at, and each serial port is
// looked up by name. Nothing is written, locked or made, no port is opened
// and no device polled: a site file edited beside a running service can be
// checked before the service takes it, with the service's own data folder.

#include <set>
#include <string>
#include <vector>

#include "tools/common/console/console.h"
#include "tools/runner/host/plugin.h"
#include "tools/runner/run_options.h"
#include "tools/runner/site/site.h"

namespace runner::check {

// Says every problem on a line of its own and returns exit status 1, or says
// one line of what was checked and returns 0.
int CheckRun(RunOptions options, const console::Console& console);

// How many of the site's devices refuse their settings when made through
// `plugin` as the host makes them: each refusal is said on its own line, as
// a start says it, or with `refusals` put there instead. The devices are
// dropped again; their own lines are not shown.
std::size_t RefusedSettings(const site::Site& site, const host::Plugin& plugin,
                            const console::Console& console,
                            std::vector<std::string>* refusals = nullptr);

// Each port of the site's devices (but those in `skip`) that is not there or
// not usable by this user: "port P: why; used by 1001, 1002", a line each.
std::vector<std::string> PortProblems(const site::Site& site,
                                      const std::set<std::string>& skip = {});

}  // namespace runner::check
