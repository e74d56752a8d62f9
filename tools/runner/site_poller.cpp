#include "tools/runner/site_poller.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <map>

#include "tools/common/exit_status.h"
#include "tools/common/serial_port.h"
#include "tools/common/time_text.h"
#include "tools/record/record_format.h"
#include "tools/runner/line/line_timing.h"
#include "tools/runner/line/poll_order.h"

namespace runner {
namespace {

constexpr auto kFreshnessEvery = std::chrono::seconds(1);
constexpr int kEnergyGapTurns = 3;
constexpr auto kShortestEnergyGap = std::chrono::seconds(1);

}  // namespace

SitePoller::SitePoller(const RunOptions& options, const console::Console& console,
                       host::DeviceChatter& chatter, outputs::Outputs& outputs)
    : options_(options), console_(console), chatter_(chatter), outputs_(outputs) {
    if (options.history) {
        energy_store_ = std::make_unique<energy::EnergyStore>(options.data_dir,
                                                              options.fsync_each_record, console);
    }
}

bool SitePoller::SetUp(const host::Site& site, const host::Plugin& plugin,
                       outputs::HistoryStore* history) {
    for (const host::SiteDevice& entry : site.devices) {
        host::HostedDevice* d = devices_.Add(entry, plugin, site.lost_communication_level);
        if (d != nullptr) StartCounting(*d);
        if (d == nullptr || history == nullptr) continue;
        // The store checks the device's files first: the record it hands back comes from them.
        const auto cached = history->Adopt(entry.data_id);
        if (!options_.use_cache) continue;
        if (cached) {
            devices_.LoadRecord(*d, cached->image, cached->source);
        } else {
            console_.Note("[" + d->label + "] no cached record yet (" +
                          history->CachePathOf(entry.data_id) + ")");
        }
    }
    if (devices_.size() == 0) {
        console_.Problem("no device could be set up; nothing to poll");
        return false;
    }
    SetUpLines(site.ports);
    return true;
}

void SitePoller::StartCounting(host::HostedDevice& d) {
    energy::EnergyCounters counters;
    counters.since = std::time(nullptr);
    if (energy_store_) counters = energy_store_->Adopt(d.site.data_id);
    d.energy_counted = counters;
    d.status.energy = counters;
}

SitePoller::Clock::duration SitePoller::LongestEnergyGap(const host::HostedDevice& d) const {
    const auto cycle = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(lines_[d.line]->pace().cycle_seconds()));
    const Clock::duration turn =
        std::max<Clock::duration>(std::chrono::milliseconds(options_.tick_ms), cycle);
    return std::max<Clock::duration>(kEnergyGapTurns * turn, kShortestEnergyGap);
}

void SitePoller::SetUpLines(const std::map<std::string, line::PortSettings>& ports) {
    std::map<std::string, std::vector<std::size_t>> users;
    std::vector<std::string> order;  // first appearance in the site file
    std::vector<host::SiteDevice> sites;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        sites.push_back(devices_[i].site);
        if (!users.count(sites[i].port)) order.push_back(sites[i].port);
        users[sites[i].port].push_back(i);
    }
    for (const std::string& path : order) {
        const std::vector<std::size_t> polling = line::PollOrder(sites, users[path]);
        const int baud = devices_[polling.front()].device->baud_rate_;
        std::vector<line::LineMember> members;
        for (const std::size_t i : polling) {
            host::HostedDevice& d = devices_[i];
            d.line = lines_.size();
            members.push_back(line::LineMember{i, d.label, d.site.address, &d.link,
                                               &d.status.port_state, &d.status.line_pace});
            if (d.device->baud_rate_ != baud) {
                console_.Problem("device " + d.label + " wants " +
                                 std::to_string(d.device->baud_rate_) + " baud but shares " + path +
                                 " at " + std::to_string(baud));
            }
        }
        lines_.push_back(std::make_unique<line::LineTurns>(LineSettingsFor(path, baud, ports),
                                                           std::move(members), *this, console_));
    }
}

line::LineSettings SitePoller::LineSettingsFor(
    const std::string& path, int baud,
    const std::map<std::string, line::PortSettings>& ports) const {
    line::LineSettings settings;
    line::PortOptions& port = settings.port;
    port.path = path;
    port.baud = baud;
    port.burst_gap = options_.gap_us > 0 ? std::chrono::microseconds(options_.gap_us)
                                         : serial_port::QuietGap(baud);
    port.reopen_period = std::chrono::milliseconds(options_.reopen_ms);
    if (const auto given = ports.find(path); given != ports.end()) port.settings = given->second;
    port.end_reply_on_length = options_.end_reply_on_length;
    // A simulated line keeps the simulator's speed, whatever the device asked for.
    const int timed_baud = options_.simulate && options_.sim_baud > 0 ? options_.sim_baud : baud;
    settings.reply_timeout = options_.reply_timeout_ms > 0
                                 ? std::chrono::milliseconds(options_.reply_timeout_ms)
                                 : line::DefaultReplyTimeout(timed_baud, port.burst_gap);
    settings.tick = std::chrono::milliseconds(options_.tick_ms);
    settings.trace = options_.trace;
    return settings;
}

bool SitePoller::Start(loop::EventLoop& loop) {
    loop_ = &loop;
    polling_start_ = Clock::now();
    bool any_up = false;
    for (auto& l : lines_) any_up = l->OpenIfDue(polling_start_) || any_up;
    for (const auto& l : lines_) l->SayNotOpened(any_up);
    if (!any_up) {
        console_.Problem("no port could be opened; nothing to poll");
        return false;
    }
    // Silence counts from now, also for a device whose port is not there.
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        host::HostedDevice& d = devices_[i];
        d.link.PollingStarts(polling_start_);
        d.status.port_lost = !lines_[d.line]->up();
        if (d.status.port_lost) d.status.port_lost_since = std::chrono::system_clock::now();
    }
    for (auto& l : lines_) loop.Add(*l);
    loop.Add(*this);
    return true;
}

line::CallResult SitePoller::Tick(std::size_t device) {
    host::HostedDevice& d = devices_[device];
    const host::CallOutcome outcome =
        devices_.Call(d, "RefreshStatus", [&] { d.device->RefreshStatus(); });
    return line::CallResult{outcome.sent, outcome.round_begun, false};
}

line::CallResult SitePoller::Hand(std::size_t device, std::uint8_t* burst, std::size_t length) {
    host::HostedDevice& d = devices_[device];
    int result = 1;  // a device that throws is still in its exchange
    const host::CallOutcome outcome = devices_.Call(d, "process", [&] {
        result = d.device->process(burst, static_cast<unsigned int>(length));
    });
    return line::CallResult{outcome.sent, outcome.round_begun, result == 0};
}

bool SitePoller::MayStart(std::size_t index, Clock::time_point now) const {
    // Polling is ending: nobody begins another exchange.
    if (loop_ != nullptr && loop_->stop_requested()) return false;
    const host::HostedDevice& d = devices_[index];
    // Only the first round waits, and never longer than it takes to call a device silent.
    const auto silence = SilencePeriod(options_);
    if (d.link.has_completed() || now - polling_start_ >= silence) return true;
    for (const std::uint32_t partner : d.site.partners) {
        for (std::size_t i = 0; i < devices_.size(); ++i) {
            const host::HostedDevice& p = devices_[i];
            if (p.site.data_id != partner || &p == &d) continue;
            if (p.link.has_completed() || p.link.in_trouble() || !lines_[p.line]->up()) continue;
            // Two devices that add each other: neither waits.
            const auto& back = p.site.partners;
            if (std::find(back.begin(), back.end(), d.site.data_id) == back.end()) return false;
        }
    }
    return true;
}

bool SitePoller::Send(const ZorSPDevice& device, const std::uint8_t* data, std::size_t length) {
    host::HostedDevice* d = devices_.Find(device);
    if (d == nullptr || lines_.empty()) return false;
    return lines_[d->line]->Send(d->index, data, length);
}

void SitePoller::StateChanged(host::HostedDevice& d, line::LinkState before) {
    if (d.status.state != before) outputs_.OnStatus(d.status, before);
}

void SitePoller::Published(const ZorVDevice& device, int type_id, const std::uint8_t* data,
                           std::size_t length) {
    host::HostedDevice* d = devices_.Find(device);
    if (d == nullptr) return;
    chatter_.Flush(d->label);  // what the device printed first stays first
    const line::LinkState before = d->status.state;
    d->link.RoundCompleted(Clock::now());
    d->status.stale = false;  // a round is fresh data: the round tells the outputs
    StateChanged(*d, before);
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

void SitePoller::AlarmChanged(const outputs::AlarmChange& change) { outputs_.OnAlarm(change); }

void SitePoller::RestoreAlarms(const std::vector<outputs::AlarmChange>& active) {
    for (const outputs::AlarmChange& alarm : active) {
        host::HostedDevice* d = nullptr;
        for (std::size_t i = 0; i < devices_.size() && d == nullptr; ++i)
            if (devices_[i].site.data_id == alarm.data_id) d = &devices_[i];
        if (d != nullptr && d->alarms.Restore(alarm, *this)) continue;
        console_.Note("[" + std::to_string(alarm.data_id) + "] alarm " + alarm.rule + " on " +
                      alarm.variable + ", active at the last stop, is no longer watched: cleared");
        outputs::AlarmChange cleared = alarm;
        cleared.kind = alarm_log::AlarmKind::kCleared;
        cleared.value = std::nanf("");
        cleared.epoch = alarms::Moment().epoch();
        outputs_.OnAlarm(cleared);
    }
}

void SitePoller::HandleWaits(const pollfd*, std::size_t, Clock::time_point now) {
    WatchPorts();
    WatchSilence(now);
    if (now < next_freshness_check_) return;
    next_freshness_check_ = now + kFreshnessEvery;
    WatchFreshness();
}

// The lines have run before this, in the same pass: a port lost or back there is told here.
void SitePoller::WatchPorts() {
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        host::HostedDevice& d = devices_[i];
        const bool lost = !lines_[d.line]->up();
        if (lost == d.status.port_lost) continue;
        d.status.port_lost = lost;
        d.status.port_lost_since =
            lost ? std::chrono::system_clock::now() : std::chrono::system_clock::time_point{};
        outputs_.OnStatus(d.status, d.status.state);
    }
}

void SitePoller::WatchFreshness() {
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        host::HostedDevice& d = devices_[i];
        const bool stale = devices_.Stale(d.site.data_id);
        if (stale == d.status.stale) continue;
        d.status.stale = stale;
        outputs_.OnStatus(d.status, d.status.state);
    }
}

void SitePoller::Resumed(Clock::duration held, Clock::time_point) {
    polling_start_ += held;
    console_.Note("the runner was held for " + time_text::Duration(held) +
                  " (stopped, or paused in a debugger); polling goes on, and that time is not "
                  "counted against the lines or the modules");
}

void SitePoller::WatchSilence(Clock::time_point now) {
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
            std::chrono::duration<float>(period).count(), moment, *this);
    }
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
    std::string summary;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        const host::HostedDevice& d = devices_[i];
        const outputs::DeviceStatus& s = d.status;
        summary += (summary.empty() ? "" : "; ") + d.label + ": " +
                   console::Count(s.rounds, "round", "rounds");
        if (s.rounds_started > s.rounds) {
            summary += " (" + std::to_string(s.rounds_started) + " begun)";
        }
        if (s.unanswered > 0) {
            summary += ", " + console::Count(s.unanswered, "command", "commands") + " unanswered";
        }
        if (s.errors > 0)
            summary += ", " + console::Count(s.errors, "device error", "device errors");
        if (d.alarms.not_a_number() > 0) {
            summary += ", " + console::Count(d.alarms.not_a_number(), "value", "values") +
                       " not a number (no alarm moved)";
        }
    }
    console_.Note("stopped; " + summary);
    for (const auto& l : lines_) {
        const line::PortState& port = l->port_state();
        if (port.garbled_echoes == 0) continue;
        console_.Problem("port " + l->path() + ": " +
                         console::Count(port.garbled_echoes, "garbled echo", "garbled echoes") +
                         " dropped");
    }
    if (ending == loop::EventLoop::Ending::kWaitFailed) return exit_status::kCannotRun;
    if (ending == loop::EventLoop::Ending::kTimeLimit && options_.rounds > 0 && !RoundsDone())
        return exit_status::kTimeLimit;
    return exit_status::kOk;
}

}  // namespace runner
