#pragma once
// The site file read again while polling: on SIGHUP (`systemctl reload`) the
// loop turns here, between two passes. The file is read and checked as
// --check checks it: the site itself, its warnings (errors with --strict),
// every device's settings made through the plug-in, and the ports new to the
// site. When it is not fit, polling goes on with the site as it was and one
// problem line says why. Otherwise it is compared with what runs
// (site_diff.h) and the poller takes it: an unchanged device keeps
// polling without a gap in its rounds. One note says what the reload did,
// and the outputs are told (Output::OnSiteReloaded), whether it was taken or not.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/console/console.h"
#include "tools/runner/host/plugin.h"
#include "tools/runner/host/simulated_lines.h"
#include "tools/runner/outputs/outputs.h"
#include "tools/runner/polling/site_diff.h"
#include "tools/runner/polling/site_poller.h"
#include "tools/runner/run_options.h"
#include "tools/runner/site/site.h"

namespace runner::polling {

class SiteReload {
public:
    // `running` is the site as polling began with it (after `simulated`, if
    // any, pointed it at its lines).
    SiteReload(const RunOptions& options, const console::Console& console,
               const host::Plugin& plugin, const host::SimulatedLines* simulated,
               SitePoller& poller, outputs::Outputs& outputs, site::Site running)
        : options_(options),
          console_(console),
          plugin_(plugin),
          simulated_(simulated),
          poller_(poller),
          outputs_(outputs),
          running_(std::move(running)) {}

    void Run();

private:
    void Take();
    // The site file read again and fit to take; nothing, with `why` set to
    // one line, when it is not.
    std::optional<site::Site> ReadFit(std::string& why) const;
    // What keeps `next` from being taken, each problem naming the file.
    // Warnings that --strict lets through are said here, as a start says them.
    std::vector<std::string> Problems(site::Site& next) const;
    // "reloaded site.json: 1 device added (1003), 2 unchanged; ..."
    std::string Summary(const SiteDiff& diff, const site::Site& next) const;

    const RunOptions& options_;
    const console::Console& console_;
    const host::Plugin& plugin_;
    const host::SimulatedLines* simulated_;
    SitePoller& poller_;
    outputs::Outputs& outputs_;
    site::Site running_;  // its members as last taken; its devices are the poller's
};

}  // namespace runner::polling
