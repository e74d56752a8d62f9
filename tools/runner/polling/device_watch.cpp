#include "tools/runner/polling/device_watch.h"

#include "tools/runner/line/line_turns.h"

namespace runner::polling {
namespace {

constexpr auto kFreshnessEvery = std::chrono::seconds(1);

}  // namespace

void DeviceWatch::Watch(Clock::time_point now) {
    WatchPorts();
    WatchSilence(now);
    if (now < next_freshness_check_) return;
    next_freshness_check_ = now + kFreshnessEvery;
    WatchFreshness();
}

void DeviceWatch::StateChanged(const host::HostedDevice& d, line::LinkState before) {
    if (d.status.state != before) outputs_.OnStatus(d.status, before);
}

// The lines have run before this, in the same pass: a port lost or back there is told here.
void DeviceWatch::WatchPorts() {
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        host::HostedDevice& d = devices_[i];
        const bool lost = d.line == nullptr || !d.line->up();
        if (lost == d.status.port_lost) continue;
        d.status.port_lost = lost;
        d.status.port_lost_since =
            lost ? std::chrono::system_clock::now() : std::chrono::system_clock::time_point{};
        outputs_.OnStatus(d.status, d.status.state);
    }
}

void DeviceWatch::WatchFreshness() {
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        host::HostedDevice& d = devices_[i];
        const bool stale = devices_.Stale(d.site.data_id);
        if (stale == d.status.stale) continue;
        d.status.stale = stale;
        outputs_.OnStatus(d.status, d.status.state);
    }
}

void DeviceWatch::WatchSilence(Clock::time_point now) {
    const auto period = SilencePeriod(options_);
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        host::HostedDevice& d = devices_[i];
        const line::LinkState before = d.status.state;
        // A lost port is lost communication too: its devices go silent all the same.
        if (!d.link.BecameSilent(now, period)) continue;
        d.energy.Break();
        StateChanged(d, before);
        alarms::Moment moment;
        d.alarms.LinkLost(
            std::chrono::duration<double>(d.status.silent_since.time_since_epoch()).count(),
            std::chrono::duration<float>(period).count(), moment, alarms_);
    }
}

}  // namespace runner::polling
