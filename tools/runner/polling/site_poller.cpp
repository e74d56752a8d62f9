#include "tools/runner/polling/site_poller.h"

#include <algorithm>
#include <cmath>
#include <ctime>

#include "tools/common/exit_status.h"
#include "tools/common/time_text.h"
#include "tools/record/record_format.h"

namespace runner::polling {
namespace {

constexpr int kEnergyGapTurns = 3;
constexpr auto kShortestEnergyGap = std::chrono::seconds(1);

// Takes alarm changes and tells no one: the alarms a restarted device carries
// over were never cleared, and the outputs still show them active.
class Unheard : public alarms::AlarmListener {
public:
    void AlarmChanged(const outputs::AlarmChange&) override {}
};

}  // namespace

SitePoller::SitePoller(const RunOptions& options, const console::Console& console,
                       host::DeviceChatter& chatter, outputs::Outputs& outputs)
    : options_(options), console_(console), chatter_(chatter), outputs_(outputs) {
    if (options.history) {
        energy_store_ = std::make_unique<energy::EnergyStore>(options.data_dir,
                                                              options.fsync_each_record, console);
    }
}

bool SitePoller::SetUp(const site::Site& site, const host::Plugin& plugin,
                       outputs::HistoryStore* history) {
    plugin_ = &plugin;
    history_ = history;
    link_level_ = site.lost_communication_level;
    for (const site::SiteDevice& entry : site.devices) AddDevice(entry);
    if (devices_.size() == 0) {
        console_.Problem("no device could be set up; nothing to poll");
        return false;
    }
    lines_.Build(devices_, site.ports);
    return true;
}

host::HostedDevice* SitePoller::AddDevice(const site::SiteDevice& entry) {
    host::HostedDevice* d = devices_.Add(entry, *plugin_, link_level_);
    if (d == nullptr) return nullptr;
    StartCounting(*d);
    if (history_ == nullptr) return d;
    // The store checks the device's files first: the record it hands back comes from them.
    const auto cached = history_->Adopt(entry.data_id);
    if (!options_.use_cache) return d;
    if (cached) {
        devices_.LoadRecord(*d, cached->image, cached->source);
    } else {
        console_.Note("[" + d->label + "] no cached record yet (" +
                      history_->CachePathOf(entry.data_id) + ")");
    }
    return d;
}

void SitePoller::StartCounting(host::HostedDevice& d) {
    energy::EnergyCounters counters;
    counters.since = std::time(nullptr);
    if (energy_store_) counters = energy_store_->Adopt(d.site.data_id);
    d.energy_counted = counters;
    d.status.energy = counters;
}

SitePoller::Clock::duration SitePoller::LongestEnergyGap(const host::HostedDevice& d) const {
    const double cycle_seconds = d.line != nullptr ? d.line->pace().cycle_seconds() : 0.0;
    const auto cycle =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(cycle_seconds));
    const Clock::duration turn =
        std::max<Clock::duration>(std::chrono::milliseconds(options_.tick_ms), cycle);
    return std::max<Clock::duration>(kEnergyGapTurns * turn, kShortestEnergyGap);
}

bool SitePoller::Start(loop::EventLoop& loop) {
    loop_ = &loop;
    polling_start_ = Clock::now();
    if (!lines_.OpenNew(polling_start_, false)) {
        console_.Problem("no port could be opened; nothing to poll");
        return false;
    }
    // Silence counts from now, also for a device whose port is not there.
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        host::HostedDevice& d = devices_[i];
        d.link.PollingStarts(polling_start_);
        d.status.port_lost = d.line == nullptr || !d.line->up();
        if (d.status.port_lost) d.status.port_lost_since = std::chrono::system_clock::now();
    }
    lines_.JoinLoop(loop, nullptr);
    loop.Add(*this);
    return true;
}

std::vector<site::SiteDevice> SitePoller::Entries() const {
    std::vector<site::SiteDevice> entries;
    for (std::size_t i = 0; i < devices_.size(); ++i) entries.push_back(devices_[i].site);
    return entries;
}

void SitePoller::Apply(const site::Site& next, const SiteDiff& diff) {
    if (loop_ == nullptr) return;
    // The lines first: they reach into the devices that go.
    lines_.Drop(diff.ports, devices_, *loop_);
    std::vector<outputs::AlarmChange> carried;
    for (const std::uint32_t id : diff.removed) StopDevice(id, carried);
    for (const std::uint32_t id : diff.restarted) StopDevice(id, carried);
    link_level_ = next.lost_communication_level;
    for (std::size_t i = 0; i < devices_.size(); ++i) devices_[i].alarms.SetLinkLevel(link_level_);
    const auto now = Clock::now();
    std::vector<std::uint32_t> order;
    for (const site::SiteDevice& entry : next.devices) {
        order.push_back(entry.data_id);
        if (Among(diff.unchanged, entry.data_id)) continue;
        if (host::HostedDevice* d = AddDevice(entry)) d->link.PollingStarts(now);
    }
    Unheard unheard;
    TakeBack(carried, unheard, "active before the reload");
    devices_.Order(order);
    lines_.Build(devices_, next.ports, &diff.ports);
    lines_.OpenNew(now, true);
    lines_.JoinLoop(*loop_, this);
}

void SitePoller::StopDevice(std::uint32_t data_id, std::vector<outputs::AlarmChange>& active) {
    for (const outputs::AlarmChange& alarm : active_.list())
        if (alarm.data_id == data_id) active.push_back(alarm);
    if (energy_store_) energy_store_->Release(data_id);
    if (history_ != nullptr) history_->Release(data_id);
    devices_.Remove(data_id);
}

line::CallResult SitePoller::Tick(std::size_t device) {
    host::HostedDevice* d = devices_.ByKey(device);
    if (d == nullptr) return {};
    const host::CallOutcome outcome =
        devices_.Call(*d, "RefreshStatus", [&] { d->device->RefreshStatus(); });
    return line::CallResult{outcome.sent, outcome.round_begun, false};
}

line::CallResult SitePoller::Hand(std::size_t device, std::uint8_t* burst, std::size_t length) {
    host::HostedDevice* d = devices_.ByKey(device);
    if (d == nullptr) return line::CallResult{false, false, true};
    int result = 1;  // a device that throws is still in its exchange
    const host::CallOutcome outcome = devices_.Call(*d, "process", [&] {
        result = d->device->process(burst, static_cast<unsigned int>(length));
    });
    return line::CallResult{outcome.sent, outcome.round_begun, result == 0};
}

bool SitePoller::MayStart(std::size_t device, Clock::time_point now) const {
    // Polling is ending: nobody begins another exchange.
    if (loop_ != nullptr && loop_->stop_requested()) return false;
    const host::HostedDevice* d = devices_.ByKey(device);
    if (d == nullptr) return false;
    // Only the first round waits, and never longer than it takes to call a device silent.
    const auto silence = SilencePeriod(options_);
    if (d->link.has_completed() || now - polling_start_ >= silence) return true;
    for (const std::uint32_t partner : d->site.partners) {
        for (std::size_t i = 0; i < devices_.size(); ++i) {
            const host::HostedDevice& p = devices_[i];
            if (p.site.data_id != partner || &p == d) continue;
            if (p.link.has_completed() || p.link.in_trouble() || p.line == nullptr || !p.line->up())
                continue;
            // Two devices that add each other: neither waits.
            const auto& back = p.site.partners;
            if (std::find(back.begin(), back.end(), d->site.data_id) == back.end()) return false;
        }
    }
    return true;
}

bool SitePoller::Send(const ZorSPDevice& device, const std::uint8_t* data, std::size_t length) {
    host::HostedDevice* d = devices_.Find(device);
    if (d == nullptr || d->line == nullptr) return false;
    return d->line->Send(d->key, data, length);
}

void SitePoller::Published(const ZorVDevice& device, int type_id, const std::uint8_t* data,
                           std::size_t length) {
    host::HostedDevice* d = devices_.Find(device);
    if (d == nullptr) return;
    chatter_.Flush(d->label);  // what the device printed first stays first
    const line::LinkState before = d->status.state;
    d->link.RoundCompleted(Clock::now());
    d->status.stale = false;  // a round is fresh data: the round tells the outputs
    watch_.StateChanged(*d, before);
    alarms::Moment moment;
    d->alarms.RoundCompleted(moment, *this);
    d->status.energy = d->energy_counted;
    const auto record = record::DecodeRecord(data, length);
    const outputs::CompletedRound round{
        d->status, type_id, data, length, record ? &*record : nullptr, d->checks};
    d->checks = 0;
    outputs_.OnRound(round);
    if (RoundsDone() && loop_ != nullptr) loop_->RequestStop();
}

void SitePoller::Saved(const ZorVDevice& device, const std::uint8_t* data, std::size_t length,
                       int interval_seconds) {
    host::HostedDevice* d = devices_.Find(device);
    if (d == nullptr) return;
    // The device saves its record once it has submitted the round's values.
    alarms::Moment moment;
    d->alarms.RoundChecked(moment, *this);
    if (const auto record = record::DecodeRecord(data, length)) {
        const auto now = Clock::now();
        if (d->energy.Add(now, record->group_voltage, record->group_current, LongestEnergyGap(*d),
                          d->energy_counted) &&
            energy_store_) {
            energy_store_->Keep(d->site.data_id, d->energy_counted);
        }
    }
    outputs_.OnSaved(outputs::SavedRecord{d->site.data_id, data, length, interval_seconds});
}

void SitePoller::Checked(const ZorVDevice& device, const std::string& name,
                         const std::string& display_name, float value, int) {
    host::HostedDevice* d = devices_.Find(device);
    if (d == nullptr) return;
    ++d->checks;
    alarms::Moment moment;
    d->alarms.Check(name, display_name, value, moment, *this);
}

void SitePoller::AlarmChanged(const outputs::AlarmChange& change) {
    active_.Apply(change);
    outputs_.OnAlarm(change);
}

void SitePoller::RestoreAlarms(const std::vector<outputs::AlarmChange>& active) {
    TakeBack(active, *this, "active at the last stop");
}

void SitePoller::TakeBack(const std::vector<outputs::AlarmChange>& active,
                          alarms::AlarmListener& told, const char* when) {
    for (const outputs::AlarmChange& alarm : active) {
        host::HostedDevice* d = devices_.FindId(alarm.data_id);
        if (d != nullptr && d->alarms.Restore(alarm, told)) continue;
        console_.Note("[" + std::to_string(alarm.data_id) + "] alarm " + alarm.rule + " on " +
                      alarm.variable + ", " + when + ", is no longer watched: cleared");
        outputs::AlarmChange cleared = alarm;
        cleared.kind = alarm_log::AlarmKind::kCleared;
        cleared.value = std::nanf("");
        cleared.epoch = alarms::Moment().epoch();
        AlarmChanged(cleared);
    }
}

void SitePoller::Resumed(Clock::duration held, Clock::time_point) {
    polling_start_ += held;
    console_.Note("the runner was held for " + time_text::Duration(held) +
                  " (stopped, or paused in a debugger); polling goes on, and that time is not "
                  "counted against the lines or the modules");
}

bool SitePoller::RoundsDone() const {
    if (options_.rounds == 0) return false;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        if (devices_[i].status.rounds < options_.rounds) return false;
    }
    return true;
}

int SitePoller::Finish(loop::EventLoop::Ending ending) {
    if (ending == loop::EventLoop::Ending::kTimeLimit) console_.Note("time limit reached");
    if (energy_store_) energy_store_->Finish();
    console_.Note("stopped; " + devices_.Summary());
    lines_.SayGarbledEchoes();
    if (ending == loop::EventLoop::Ending::kWaitFailed) return exit_status::kCannotRun;
    if (ending == loop::EventLoop::Ending::kTimeLimit && options_.rounds > 0 && !RoundsDone())
        return exit_status::kTimeLimit;
    return exit_status::kOk;
}

}  // namespace runner::polling
