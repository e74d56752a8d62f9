#pragma once
// What no call into a device tells, watched once a pass after the lines have
// run: a device that goes silent (no round completed for the silence period:
// its energy integration breaks and its lost-communication alarm is raised),
// whose port is lost or back, or whose data goes stale. Each change goes to
// the outputs as soon as it is seen.

#include <chrono>

#include "tools/runner/alarms/device_alarms.h"
#include "tools/runner/host/site_devices.h"
#include "tools/runner/line/link_tracker.h"
#include "tools/runner/outputs/outputs.h"
#include "tools/runner/run_options.h"

namespace runner::polling {

class DeviceWatch {
public:
    using Clock = std::chrono::steady_clock;

    DeviceWatch(const RunOptions& options, host::SiteDevices& devices, outputs::Outputs& outputs,
                alarms::AlarmListener& alarms)
        : options_(options), devices_(devices), outputs_(outputs), alarms_(alarms) {}

    void Watch(Clock::time_point now);
    // Tells the outputs when the link state of `d` moved from `before`.
    void StateChanged(const host::HostedDevice& d, line::LinkState before);

private:
    void WatchSilence(Clock::time_point now);
    // Whether each device's port is down, or its data stale, as it stands now.
    void WatchPorts();
    void WatchFreshness();

    const RunOptions& options_;
    host::SiteDevices& devices_;
    outputs::Outputs& outputs_;
    alarms::AlarmListener& alarms_;
    Clock::time_point next_freshness_check_{};
};

}  // namespace runner::polling
