#pragma once
// The site's serial lines: one (line/line_turns.h) per port its devices are
// on, in the order the site first names each port, with the devices on it in
// polling order (line/poll_order.h); each device is told the line it is on.
// A reload sets up anew only the lines of the ports it changed: the others
// keep their port open and their turns going.

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "tools/common/console/console.h"
#include "tools/runner/host/site_devices.h"
#include "tools/runner/line/line_turns.h"
#include "tools/runner/loop/event_loop.h"
#include "tools/runner/run_options.h"

namespace runner::polling {

class SiteLines {
public:
    using Clock = line::Clock;

    SiteLines(const RunOptions& options, const console::Console& console,
              line::LineDevices& devices)
        : options_(options), console_(console), devices_(devices) {}

    // Sets up a line for each port of `ports` that a device is on (each port
    // a device is on, when `ports` is null), with the site's `settings` for
    // it. A new line is neither open (OpenNew) nor in the loop (JoinLoop) yet.
    void Build(host::SiteDevices& devices,
               const std::map<std::string, line::PortSettings>& settings,
               const std::set<std::string>* ports = nullptr);
    // Opens the new lines' ports and says why any did not open: retried
    // while some port is up (`others_up`: a line of before). True when one is.
    bool OpenNew(Clock::time_point now, bool others_up);
    // The new lines take part in `loop`, before `before`.
    void JoinLoop(loop::EventLoop& loop, const loop::Participant* before);
    // Ends the lines of `ports`, out of `loop` first, their ports closed;
    // their devices are on no line until the next Build.
    void Drop(const std::set<std::string>& ports, host::SiteDevices& devices,
              loop::EventLoop& loop);
    // At the end of a run: the garbled echoes each line dropped.
    void SayGarbledEchoes() const;

private:
    // How the line on `path` is run: its port's speed and settings, the
    // options' timing.
    line::LineSettings SettingsFor(const std::string& path, int baud,
                                   const std::map<std::string, line::PortSettings>& ports) const;
    void SayGarbledEchoes(const line::LineTurns& line) const;

    const RunOptions& options_;
    const console::Console& console_;
    line::LineDevices& devices_;
    std::vector<std::unique_ptr<line::LineTurns>> lines_;
    std::vector<line::LineTurns*> new_;  // set up, not yet in the loop
};

}  // namespace runner::polling
