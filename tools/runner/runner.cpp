#include "tools/runner/runner.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "battery/battery.h"
#include "tools/record/record_format.h"
#include "tools/runner/line_timing.h"
#include "tools/runner/poll_order.h"

namespace runner {
namespace {

// The history interval a device asks for. The host reads it from the device
// itself, each time, because settings and control code 100 change it at run
// time: `save_interval_`, in seconds, a public member of the link class that
// every device of this plug-in is built on. Only the class layout is used (no
// code of the device is linked), so the plug-in loaded must be this project's.
// Not checked by the sanitizer's dynamic-type test: that needs the device
// class's type information, which lives hidden in the plug-in.
__attribute__((no_sanitize("vptr"))) int HistoryIntervalSeconds(const ZorSPDevice& device) {
    const int seconds = static_cast<const Battery&>(device).save_interval_;
    // The device never holds less than a minute; a second keeps a bad value harmless.
    return seconds > 0 ? seconds : 1;
}

}  // namespace

Runner::Runner(const RunOptions& options, const Console& console, DeviceChatter& chatter)
    : options_(options), console_(console), chatter_(chatter) {}

Runner::~Runner() {
    // Devices go first, while the runner still takes the host calls they may
    // make while being destroyed; none of those calls finds its device.
    for (auto& d : devices_) d->device.reset();
}

Runner::DeviceState* Runner::Find(const ZorVDevice& device) {
    for (auto& d : devices_) {
        if (d->device.get() == &device) return d.get();
    }
    return nullptr;
}

int Runner::PollSite(const Site& site, const Plugin& plugin, int stop_fd) {
    if (!StartSite(site, plugin)) return kExitCannotRun;
    return FinishSite(PollLines(stop_fd));
}

bool Runner::StartSite(const Site& site, const Plugin& plugin) {
    if (options_.history) {
        const std::string error = data_lock_.Take(options_.data_dir);
        if (!error.empty()) {
            console_.Problem(error + " (--no-history polls without it)");
            return false;
        }
    }
    for (const SiteDevice& d : site.devices) SetUpDevice(d, plugin);
    if (devices_.empty()) {
        console_.Problem("no device could be set up; nothing to poll");
        return false;
    }
    SetUpPorts();
    if (!OpenLines()) {
        console_.Problem("no port could be opened; nothing to poll");
        return false;
    }
    return true;
}

void Runner::SetUpDevice(const SiteDevice& site, const Plugin& plugin) {
    // Registered before the first call into the device, so that host calls it
    // makes while being set up find it.
    devices_.push_back(std::make_unique<DeviceState>());
    DeviceState& state = *devices_.back();
    state.site = site;
    state.label = std::to_string(site.data_id);
    state.status = DeviceStatus{site.data_id, site.name, site.port};
    const std::string who = "device " + DeviceLabel(site);
    try {
        state.device = plugin.CreateDevice();
        ZorSPDevice& d = *state.device;
        d.data_id_ = site.data_id;
        // The host keeps the address with its top bit inverted; the device
        // turns it back into the wire address in InitSetting.
        d.addr_ = static_cast<unsigned char>(site.address ^ 0x80u);
        d.Init(controller_, site.data_id, site.settings);
        controller_->AddDevice(state.device);
        d.InitSetting(site.settings);
    } catch (const std::exception& e) {
        chatter_.Flush(state.label);
        if (state.device) controller_->RemoveDevice(site.data_id);
        state.device.reset();  // first, so host calls it makes dying find nothing
        console_.Problem(who + ": not polled: the device refused its settings: " + e.what());
        devices_.pop_back();
        return;
    }
    chatter_.Flush(state.label);
    if (state.device->addr_ != site.address) {
        console_.Problem(who + ": the device answers to " + AddressText(state.device->addr_) +
                         ", not " + AddressText(site.address) + " as the site file says");
    }
    if (options_.history) KeepHistory(state);
}

// The history keeper checks the device's files first: the record it hands
// back comes from them.
void Runner::KeepHistory(DeviceState& state) {
    const HistoryPolicy policy{options_.history_every_round, options_.fsync_each_record,
                               std::chrono::seconds(options_.cache_every_s)};
    state.keeper =
        std::make_unique<HistoryKeeper>(options_.data_dir, state.site.data_id, policy, console_);
    AddOutput(*state.keeper);
    const auto cached = state.keeper->Start();
    if (!options_.use_cache) return;
    if (cached) {
        LoadCachedRecord(state, *cached);
    } else {
        console_.Note("[" + state.label + "] no cached record yet (" + state.keeper->cache_path() +
                      ")");
    }
}

void Runner::LoadCachedRecord(DeviceState& state, const HistoryKeeper::StartImage& cached) {
    const std::vector<std::uint8_t>& image = cached.image;
    bool loaded = false;
    CallDevice(state, "loading the cached record", [&] {
        loaded = state.device->LoadFromCache(image.data(), static_cast<int>(image.size()));
    });
    if (!loaded) {
        console_.Problem("[" + state.label + "] the device refused the cached record from " +
                         cached.source);
        return;
    }
    const auto record = record_tools::DecodeRecord(image.data(), image.size());
    std::string line = "[" + state.label + "] cached record";
    if (record) {
        const std::string time = record_tools::FormatTime(record->timestamp);
        if (!time.empty()) line += " of " + time;
    }
    line += " from " + cached.source + " loaded; lookups answer ";
    // Asked the way partners ask, through the controller.
    const auto value = [&](const char* name) {
        return record_tools::Fixed(controller_->GetValue(state.site.data_id, name), 2);
    };
    try {
        line += "group " + value("group_voltage") + " V, current " + value("group_current") +
                " A, temp " + value("temperature") + " C";
    } catch (const std::exception& e) {
        line = "[" + state.label + "] cached record loaded, but lookups fail: " + e.what();
    }
    chatter_.Flush(state.label);
    console_.Note(line);
}

void Runner::SetUpPorts() {
    std::map<std::string, std::vector<std::size_t>> users;
    std::vector<std::string> order;  // first appearance in the site file
    std::vector<SiteDevice> sites;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        sites.push_back(devices_[i]->site);
        if (!users.count(sites[i].port)) order.push_back(sites[i].port);
        users[sites[i].port].push_back(i);
    }
    for (const std::string& path : order) {
        const std::vector<std::size_t> polling = PollOrder(sites, users[path]);
        const int baud = devices_[polling.front()]->device->baud_rate_;
        std::string names = polling.size() == 1 ? "device " : "devices ";
        for (std::size_t k = 0; k < polling.size(); ++k) {
            DeviceState& d = *devices_[polling[k]];
            d.port = ports_.size();
            names += (k ? ", " : "") + d.label;
            if (d.device->baud_rate_ != baud) {
                console_.Problem("device " + d.label + " wants " +
                                 std::to_string(d.device->baud_rate_) + " baud but shares " + path +
                                 " at " + std::to_string(baud));
            }
        }
        const auto gap = options_.gap_us > 0 ? std::chrono::microseconds(options_.gap_us)
                                             : BurstGatherer::GapForBaud(baud);
        // A simulated line keeps the simulator's speed, whatever the device asked for.
        const int timed_baud =
            options_.simulate && options_.sim_baud > 0 ? options_.sim_baud : baud;
        const auto reply_timeout = options_.reply_timeout_ms > 0
                                       ? std::chrono::milliseconds(options_.reply_timeout_ms)
                                       : DefaultReplyTimeout(timed_baud, gap);
        ports_.push_back(PortState{
            std::make_unique<PortLine>(
                path, baud, gap, std::chrono::milliseconds(options_.reopen_ms), names, console_),
            LineScheduler(polling, Tick(), Clock::now()), reply_timeout});
    }
}

// True when at least one line is up.
bool Runner::OpenLines() {
    polling_start_ = Clock::now();
    bool any_up = false;
    for (std::size_t i = 0; i < ports_.size(); ++i) {
        if (!ports_[i].line->OpenIfDue(polling_start_)) continue;
        LineOpened(i, polling_start_);
        any_up = true;
    }
    return any_up;
}

Runner::Ending Runner::PollLines(int stop_fd) {
    const Clock::time_point end =
        options_.time_limit_s > 0
            ? Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options_.time_limit_s))
            : Clock::time_point::max();
    Waits waits;
    while (!stop_) {
        const auto now = Clock::now();
        if (now >= end) {
            console_.Note("time limit reached");
            return Ending::kTimeLimit;
        }
        AttendToLines(now);
        if (stop_) break;
        WatchSilence(now);
        const Clock::time_point wake = std::min(ListWaits(stop_fd, now, waits), end);
        const int ready = Wait(waits, wake);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            console_.Problem(std::string("waiting for the lines failed: ") + std::strerror(errno));
            return Ending::kPollFailed;
        }
        if (ready == 0) continue;
        if (waits.fds[0].revents != 0) return Ending::kSignal;
        ReadReadyLines(waits, Clock::now());
    }
    return Ending::kRoundsDone;
}

// Opens the lines whose retry is due and gives each line that is up its turn:
// a burst whose gap has passed goes to the device, then the line is served.
void Runner::AttendToLines(Clock::time_point now) {
    for (std::size_t i = 0; i < ports_.size() && !stop_; ++i) {
        PortState& port = ports_[i];
        PortLine& line = *port.line;
        if (!line.up()) {
            if (line.OpenIfDue(now)) LineOpened(i, now);
            continue;
        }
        if (auto burst = line.TakeQuietBurst(now)) Deliver(port, std::move(*burst));
        if (!stop_ && line.up()) ServeLine(port, now);
    }
}

// Fills in the stop descriptor and the lines that are up; returns when the
// lines next need attention, a second from `now` at the latest.
Runner::Clock::time_point Runner::ListWaits(int stop_fd, Clock::time_point now,
                                            Waits& waits) const {
    Clock::time_point wake = now + std::chrono::seconds(1);
    waits.fds.assign(1, pollfd{stop_fd, POLLIN, 0});
    waits.port_of.assign(1, ports_.size());
    for (std::size_t i = 0; i < ports_.size(); ++i) {
        const PortLine& line = *ports_[i].line;
        const LineScheduler& schedule = ports_[i].schedule;
        if (!line.up()) {
            wake = std::min(wake, line.next_retry());
            continue;
        }
        const auto burst = line.BurstDeadline();
        // Past the reply deadline with a reply still coming in: wait for the reply, not spin.
        const auto due = burst && schedule.holder()
                             ? burst
                             : schedule.WakeAt([&](std::size_t d) { return MayStart(d, now); });
        if (due) wake = std::min(wake, *due);
        if (burst) wake = std::min(wake, *burst);
        waits.fds.push_back(pollfd{line.fd(), POLLIN, 0});
        waits.port_of.push_back(i);
    }
    return wake;
}

// Adds the participants' descriptors, waits until something is ready or
// `wake` (or a participant's earlier time), and lets the participants handle
// their share. Returns what ppoll returned.
int Runner::Wait(Waits& waits, Clock::time_point wake) {
    waits.shares.clear();
    for (LoopParticipant* p : participants_) {
        const std::size_t before = waits.fds.size();
        p->AddWaits(waits.fds, wake);
        waits.shares.push_back(waits.fds.size() - before);
    }
    const auto wait = std::max(Clock::duration::zero(), wake - Clock::now());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
    timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    const int ready = ::ppoll(waits.fds.data(), waits.fds.size(), &timeout, nullptr);
    if (ready < 0) return ready;
    const auto now = Clock::now();
    std::size_t offset = waits.port_of.size();
    for (std::size_t i = 0; i < participants_.size(); ++i) {
        participants_[i]->HandleWaits(waits.fds.data() + offset, waits.shares[i], now);
        offset += waits.shares[i];
    }
    return ready;
}

void Runner::ReadReadyLines(const Waits& waits, Clock::time_point now) {
    for (std::size_t k = 1; k < waits.port_of.size() && !stop_; ++k) {
        const pollfd& entry = waits.fds[k];
        if (entry.revents == 0) continue;
        PortState& port = ports_[waits.port_of[k]];
        PortLine& line = *port.line;
        if (!line.up() || line.fd() != entry.fd) continue;  // closed meanwhile
        for (auto& burst : line.ReadAvailable(now)) {
            Deliver(port, std::move(burst));
            if (stop_) break;
        }
        if (line.up() && (entry.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            line.MarkLost((entry.revents & POLLHUP) ? "hung up" : "line error", now);
        }
    }
}

int Runner::FinishSite(Ending ending) {
    std::string summary;
    for (const auto& d : devices_) {
        const DeviceStatus& s = d->status;
        summary += (summary.empty() ? "" : "; ") + d->label + ": " + std::to_string(s.rounds) +
                   (s.rounds == 1 ? " round" : " rounds");
        if (s.rounds_started > s.rounds) {
            summary += " (" + std::to_string(s.rounds_started) + " begun)";
        }
        if (s.unanswered > 0) {
            summary += ", " + std::to_string(s.unanswered) + " commands unanswered";
        }
        if (s.errors > 0) summary += ", " + std::to_string(s.errors) + " device errors";
        if (d->keeper) d->keeper->Stop();
    }
    console_.Note("stopped; " + summary);
    if (ending == Ending::kPollFailed) return kExitCannotRun;
    if (ending == Ending::kTimeLimit && options_.rounds > 0 && !RoundsDone()) return kExitTimeLimit;
    return kExitOk;
}

template <typename Fn>
void Runner::ForEachOutput(Fn&& fn) {
    for (RoundOutput* output : outputs_) {
        try {
            fn(*output);
        } catch (const std::exception& e) {
            if (output_failures_++ == 0) {
                console_.Problem(std::string("an output failed to take a round: ") + e.what() +
                                 " (later failures are only counted)");
            }
        }
    }
}

void Runner::SendSP(ZorVDevice& device, int type_id, const unsigned char* data, unsigned int length,
                    bool) {
    DeviceState* state = Find(device);
    if (state == nullptr) return;
    chatter_.Flush(state->label);  // what the device printed first stays first
    if (const auto unanswered = state->link.RoundCompleted(Clock::now())) {
        console_.Problem("[" + state->label + "] answering again: " + std::to_string(*unanswered) +
                         " commands went unanswered while it was silent");
    }
    const auto record = record_tools::DecodeRecord(data, length);
    const CompletedRound round{state->status, type_id, data, length, record ? &*record : nullptr,
                               state->checks};
    state->checks = 0;
    ForEachOutput([&](RoundOutput& output) { output.OnRound(round); });
    if (RoundsDone()) stop_ = true;
}

void Runner::SaveDeviceHistory(ZorVDevice& device, const unsigned char* data, unsigned int length) {
    const DeviceState* state = Find(device);
    if (state == nullptr) return;
    const SavedRecord saved{state->site.data_id, data, length,
                            HistoryIntervalSeconds(*state->device)};
    ForEachOutput([&](RoundOutput& output) { output.OnSaved(saved); });
}

void Runner::CheckThreshold(ZorVDevice& device, const std::string&, const std::string&, float,
                            int) {
    if (DeviceState* state = Find(device)) ++state->checks;
}

std::vector<DeviceStatus> Runner::Statuses() const {
    std::vector<DeviceStatus> all;
    for (const auto& d : devices_) all.push_back(d->status);
    return all;
}

bool Runner::RoundsDone() const {
    return options_.rounds > 0 && std::all_of(devices_.begin(), devices_.end(), [&](const auto& d) {
               return d->status.rounds >= options_.rounds;
           });
}

}  // namespace runner
