#pragma once
// The site's devices as the host keeps them: each made through the plug-in
// for its entry of the site file, with its status, its link figures and the
// calls the runner makes into it. Devices are kept in site order; one that
// refuses its settings is left out. A reload removes and adds devices; those
// that stay keep their place in memory, so what points at them (the outputs
// at their status, a line at its link figures) stays valid.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/zor_controller.h"
#include "host/zor_sp_device.h"
#include "tools/common/console/console.h"
#include "tools/runner/alarms/device_alarms.h"
#include "tools/runner/energy/energy_counters.h"
#include "tools/runner/energy/energy_integrator.h"
#include "tools/runner/host/device_chatter.h"
#include "tools/runner/host/host_services.h"
#include "tools/runner/host/plugin.h"
#include "tools/runner/line/link_tracker.h"
#include "tools/runner/outputs/device_status.h"
#include "tools/runner/site/site.h"

namespace runner::line {
class LineTurns;
}  // namespace runner::line

namespace runner::host {

struct HostedDevice {
    std::size_t key = 0;  // how its line names it: never given to another device in a run
    site::SiteDevice site;
    std::string label;  // data id, for line prefixes
    std::shared_ptr<ZorSPDevice> device;
    line::LineTurns* line = nullptr;  // the line it is on; null before it has one
    outputs::DeviceStatus status;
    line::LinkTracker link{status};
    std::uint64_t checks = 0;  // threshold checks since the last record
    alarms::DeviceAlarms alarms;
    energy::EnergyIntegrator energy;
    // The counters up to the latest record kept: one round ahead of those in
    // `status`, which follow the records handed out.
    energy::EnergyCounters energy_counted;
};

class SiteDevices {
public:
    SiteDevices(const console::Console& console, DeviceChatter& chatter, HostServices& host)
        : console_(console), chatter_(chatter), host_(host) {}
    // The devices go first, while the host services still take the calls they
    // may make while being destroyed; none of those calls finds its device.
    ~SiteDevices();
    SiteDevices(const SiteDevices&) = delete;
    SiteDevices& operator=(const SiteDevices&) = delete;

    // Makes the device for `entry` through `plugin` and keeps it, with its
    // alarms (`link_level`: that of its lost-communication alarm); null when
    // it refused its settings, after one line ("device 1001 (A): not polled:
    // the device refused its settings: ..."), or with `refusal`, with the
    // reason put there instead ("device 1001 (A): the device refused ...").
    HostedDevice* Add(const site::SiteDevice& entry, const Plugin& plugin, int link_level,
                      std::string* refusal = nullptr);
    // Drops the device with `data_id`, if there is one: it is taken from the
    // controller (its partners no longer find it) and destroyed.
    void Remove(std::uint32_t data_id);
    // Puts the devices in the order of `data_ids` (the site's, after a
    // reload); those not named go last.
    void Order(const std::vector<std::uint32_t>& data_ids);
    // Hands `d` the record kept for it (read from `source`) and says what its
    // lookups now answer.
    void LoadRecord(HostedDevice& d, const std::vector<std::uint8_t>& image,
                    const std::string& source);
    // A call into `d` (`what` names it in messages): what it did comes back;
    // the device's first failure is reported, later ones counted.
    template <typename Fn>
    CallOutcome Call(HostedDevice& d, const char* what, Fn&& fn);

    HostedDevice* Find(const ZorVDevice& device);
    HostedDevice* FindId(std::uint32_t data_id);
    // The device its line names `key`; null when it is gone (never, while
    // lines are set up anew before their devices go).
    HostedDevice* ByKey(std::size_t key) const;
    HostedDevice& operator[](std::size_t index) { return *devices_[index]; }
    const HostedDevice& operator[](std::size_t index) const { return *devices_[index]; }
    std::size_t size() const { return devices_.size(); }
    // Every device's status, in site order.
    const outputs::DeviceList& statuses() const { return statuses_; }
    // What each device did: "1001: 12 rounds, 1 command unanswered; 1002: ...".
    std::string Summary() const;
    // Whether the device with `data_id` refuses lookups for want of fresh
    // data, asked the way partners ask.
    bool Stale(std::uint32_t data_id) const;

private:
    void Counted(HostedDevice& d, const char* what, const CallOutcome& outcome);

    const console::Console& console_;
    DeviceChatter& chatter_;
    HostServices& host_;
    std::shared_ptr<ZorController> controller_ = std::make_shared<ZorController>();
    std::vector<std::unique_ptr<HostedDevice>> devices_;
    outputs::DeviceList statuses_;
    std::size_t next_key_ = 0;
};

template <typename Fn>
CallOutcome SiteDevices::Call(HostedDevice& d, const char* what, Fn&& fn) {
    CallOutcome outcome = host_.Call(*d.device, d.label, std::forward<Fn>(fn));
    Counted(d, what, outcome);
    return outcome;
}

}  // namespace runner::host
