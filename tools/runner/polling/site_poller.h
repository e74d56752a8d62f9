#pragma once
// The site at run time: a device for every entry of the site file, made
// through the plug-in and driven on its serial line (site_lines.h), and
// everything the devices report handed to the outputs. What no call tells
// (silence, a port lost, stale data) is watched by device_watch.h; it asks
// the loop to stop once every device has completed the rounds asked for. A
// reload (site_reload.h) hands it the site read again, to apply.
//
// One round, from the serial bytes to the outputs (paths from tools/runner/):
// a line's turn (line/line_turns.cpp) calls Tick, the device sends its
// command through the host hook (host/host_services.cpp) back here to Send
// and out on its line; the reply's bursts come to Hand; the device publishes
// its record to Published, which hands the round to every output
// (outputs/outputs.cpp). Within the same call the device submits its values
// to Checked, where the device's alarms (alarms/device_alarms.h) take them,
// and asks to keep its record (Saved), which ends its round: that record
// carries the round's own readings, from which its energy counters grow
// (energy/energy_integrator.h, kept in the data folder by
// energy/energy_store.h); the outputs see them
// with the device's next record, whose readings they are.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/zor_sp_device.h"
#include "tools/alarm_log/active_alarms.h"
#include "tools/common/console/console.h"
#include "tools/runner/alarms/device_alarms.h"
#include "tools/runner/energy/energy_store.h"
#include "tools/runner/host/device_chatter.h"
#include "tools/runner/host/host_services.h"
#include "tools/runner/host/plugin.h"
#include "tools/runner/host/site_devices.h"
#include "tools/runner/line/line_turns.h"
#include "tools/runner/loop/event_loop.h"
#include "tools/runner/outputs/history/history_store.h"
#include "tools/runner/outputs/outputs.h"
#include "tools/runner/polling/device_watch.h"
#include "tools/runner/polling/site_diff.h"
#include "tools/runner/polling/site_lines.h"
#include "tools/runner/run_options.h"
#include "tools/runner/site/site.h"

namespace runner::polling {

class SitePoller : public host::DeviceEvents,
                   public line::LineDevices,
                   public loop::Participant,
                   private alarms::AlarmListener {
public:
    using Clock = std::chrono::steady_clock;

    SitePoller(const RunOptions& options, const console::Console& console,
               host::DeviceChatter& chatter, outputs::Outputs& outputs);
    SitePoller(const SitePoller&) = delete;
    SitePoller& operator=(const SitePoller&) = delete;

    // Creates a device for each entry of `site` through `plugin` (one that
    // refuses its settings is left out, with one line), hands each the record
    // `history` keeps for it, if any, and sets up the lines. False after one
    // problem line when no device could be set up. `plugin` and `history`
    // serve the devices a reload adds, too.
    bool SetUp(const site::Site& site, const host::Plugin& plugin, outputs::HistoryStore* history);
    // Opens the ports and takes the lines, and this poller, into `loop`.
    // False after one problem line when no port opens.
    bool Start(loop::EventLoop& loop);
    // Once the outputs have started: the alarms the alarm log says were active
    // at the last stop. Each is active again, or cleared (with one line) when
    // its rule or device is gone from the site.
    void RestoreAlarms(const std::vector<outputs::AlarmChange>& active);
    // The entries of the devices polled, in site order.
    std::vector<site::SiteDevice> Entries() const;
    // Once polling: takes `next`, the site read again and checked, which
    // differs from what runs as `diff` says. Removed and restarted devices
    // stop as at the end of a run; their active alarms are cleared (one
    // line each), a restarted device's carry over to its new start where
    // their rules remain. Added and restarted devices start as at start.
    // Only the lines of `diff.ports` are set up anew.
    void Apply(const site::Site& next, const SiteDiff& diff);
    // Every device set up, in site order.
    const outputs::DeviceList& devices() const { return devices_.statuses(); }
    host::DeviceChatter& chatter() const { return chatter_; }
    // After the loop has ended: says what each device did; returns the exit status.
    int Finish(loop::EventLoop::Ending ending);

    bool Send(const ZorSPDevice& device, const std::uint8_t* data, std::size_t length) override;
    void Published(const ZorVDevice& device, int type_id, const std::uint8_t* data,
                   std::size_t length) override;
    void Saved(const ZorVDevice& device, const std::uint8_t* data, std::size_t length,
               int interval_seconds) override;
    void Checked(const ZorVDevice& device, const std::string& name, const std::string& display_name,
                 float value, int index) override;

    line::CallResult Tick(std::size_t device) override;
    line::CallResult Hand(std::size_t device, std::uint8_t* burst, std::size_t length) override;
    bool MayStart(std::size_t device, Clock::time_point now) const override;

    void AddWaits(std::vector<pollfd>&, Clock::time_point&) override {}
    void HandleWaits(const pollfd*, std::size_t, Clock::time_point now) override {
        watch_.Watch(now);
    }
    // Says once per hold that the runner itself was held, not the lines.
    void Resumed(Clock::duration held, Clock::time_point now) override;

private:
    // Makes the device for `entry`, with its energy counters and the record
    // its files hold; null when it refused its settings (one line).
    host::HostedDevice* AddDevice(const site::SiteDevice& entry);
    // Stops the device with `data_id`: its energy counters, cache and history
    // written and closed as at the end of a run. Its active alarms are added
    // to `active`.
    void StopDevice(std::uint32_t data_id, std::vector<outputs::AlarmChange>& active);
    // Each alarm of `active` is active again on its device, told to `told`;
    // one whose device or rule is gone is cleared, with one line saying it
    // was active `when`.
    void TakeBack(const std::vector<outputs::AlarmChange>& active, alarms::AlarmListener& told,
                  const char* when);
    // The energy counters of `d` at start: kept ones, or zero.
    void StartCounting(host::HostedDevice& d);
    // The longest time between two rounds of `d` that its energy is
    // integrated across: three ticks, or three of its line's cycles if
    // longer, and at least a second.
    Clock::duration LongestEnergyGap(const host::HostedDevice& d) const;
    bool RoundsDone() const;
    void AlarmChanged(const outputs::AlarmChange& change) override;

    const RunOptions& options_;
    const console::Console& console_;
    host::DeviceChatter& chatter_;
    outputs::Outputs& outputs_;
    host::HostServices host_{*this, chatter_};
    host::SiteDevices devices_{console_, chatter_, host_};
    SiteLines lines_{options_, console_, *this};
    DeviceWatch watch_{options_, devices_, outputs_, *this};
    std::unique_ptr<energy::EnergyStore> energy_store_;  // null: no data folder
    const host::Plugin* plugin_ = nullptr;
    outputs::HistoryStore* history_ = nullptr;
    int link_level_ = 0;              // of the lost-communication alarm
    alarm_log::ActiveAlarms active_;  // as told to the outputs
    loop::EventLoop* loop_ = nullptr;
    Clock::time_point polling_start_{};
};

}  // namespace runner::polling
