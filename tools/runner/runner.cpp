#include "tools/runner/runner.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "tools/record/record_format.h"
#include "tools/record/record_image.h"
#include "tools/runner/history_path.h"
#include "tools/runner/line_timing.h"
#include "tools/runner/history_interval.h"
#include "tools/runner/poll_order.h"

namespace runner {
namespace {

std::string Fixed2(float v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(v));
    return text;
}

std::string AddressText(unsigned address) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", address & 0xFFu);
    return text;
}

}  // namespace

Runner::Runner(const RunOptions& options, const Console& console, DeviceChatter& chatter)
    : options_(options),
      console_(console),
      chatter_(chatter),
      controller_(std::make_shared<ZorController>()) {
    previous_events_ = stand_in::SetHostEvents(this);
}

Runner::~Runner() {
    // Devices go first: they may still call the host while being destroyed.
    by_device_.clear();
    devices_.clear();
    stand_in::SetHostEvents(previous_events_);
}

Runner::DeviceState* Runner::Find(const ZorVDevice& device) {
    auto it = by_device_.find(&device);
    return it == by_device_.end() ? nullptr : devices_[it->second].get();
}

bool Runner::SetUpDevice(const SiteDevice& site, const Plugin& plugin) {
    // Registered before the first call into the device, so that host calls it
    // makes while being set up find it.
    devices_.push_back(std::make_unique<DeviceState>());
    DeviceState& state = *devices_.back();
    state.site = site;
    state.label = std::to_string(site.data_id);
    state.link = LinkTracker(site.data_id);
    const std::string who = "device " + DeviceLabel(site);
    try {
        state.device = plugin.CreateDevice();
        ZorSPDevice& d = *state.device;
        by_device_[state.device.get()] = devices_.size() - 1;
        d.data_id_ = site.data_id;
        // The host keeps the address with its top bit inverted; the device
        // turns it back into the wire address in InitSetting.
        d.addr_ = static_cast<unsigned char>(site.address ^ 0x80u);
        d.Init(controller_, site.data_id, site.settings);
        controller_->AddDevice(state.device);
        d.InitSetting(site.settings);
    } catch (const std::exception& e) {
        chatter_.Flush(state.label);
        if (state.device) {
            by_device_.erase(state.device.get());
            controller_->RemoveDevice(site.data_id);
        }
        console_.Problem(who + ": not polled: the device refused its settings: " + e.what());
        devices_.pop_back();
        return false;
    }
    chatter_.Flush(state.label);
    if (state.device->addr_ != site.address) {
        console_.Problem(who + ": the device answers to " + AddressText(state.device->addr_) +
                         ", not " + AddressText(site.address) + " as the site file says");
    }
    if (!options_.history) return true;
    HistoryPolicy policy;
    policy.every_round = options_.history_every_round;
    policy.sync_each_record = options_.fsync_each_record;
    policy.cache_every = std::chrono::seconds(options_.cache_every_s);
    state.keeper = std::make_unique<HistoryKeeper>(options_.data_dir, site.data_id, policy, console_);
    const auto cached = state.keeper->Start();
    if (!options_.use_cache) return true;
    if (cached) {
        LoadCachedRecord(state, *cached);
    } else {
        console_.Note("[" + state.label + "] no cached record yet (" + state.keeper->cache_path() + ")");
    }
    return true;
}

void Runner::LoadCachedRecord(DeviceState& state, const HistoryKeeper::StartImage& cached) {
    const std::vector<std::uint8_t>& image = cached.image;
    bool loaded = false;
    CallDevice(state, "loading the cached record", [&] {
        loaded = state.device->LoadFromCache(image.data(), static_cast<int>(image.size()));
    });
    if (!loaded) {
        console_.Problem("[" + state.label + "] the device refused the cached record from " + cached.source);
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
    try {
        const float group = controller_->GetValue(state.site.data_id, "group_voltage");
        const float current = controller_->GetValue(state.site.data_id, "group_current");
        const float temperature = controller_->GetValue(state.site.data_id, "temperature");
        line += "group " + Fixed2(group) + " V, current " + Fixed2(current) + " A, temp " +
                Fixed2(temperature) + " C";
    } catch (const std::exception& e) {
        line = "[" + state.label + "] cached record loaded, but lookups fail: " + e.what();
    }
    chatter_.Flush(state.label);
    console_.Note(line);
}

void Runner::SetUpPorts() {
    std::map<std::string, std::vector<std::size_t>> users;
    std::vector<std::string> order;  // first appearance in the site file
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        const std::string& path = devices_[i]->site.port;
        if (!users.count(path)) order.push_back(path);
        users[path].push_back(i);
    }
    std::vector<SiteDevice> sites;
    for (const auto& d : devices_) sites.push_back(d->site);

    for (const std::string& path : order) {
        PortState port;
        const std::vector<std::size_t> polling = PollOrder(sites, users[path]);
        const int baud = devices_[polling.front()]->device->baud_rate_;
        std::string names = polling.size() == 1 ? "device " : "devices ";
        for (std::size_t k = 0; k < polling.size(); ++k) {
            DeviceState& d = *devices_[polling[k]];
            d.port = ports_.size();
            names += (k ? ", " : "") + d.label;
            if (d.device->baud_rate_ != baud) {
                console_.Problem("device " + d.label + " wants " + std::to_string(d.device->baud_rate_) +
                                 " baud but shares " + path + " at " + std::to_string(baud));
            }
        }
        const auto gap = options_.gap_us > 0 ? std::chrono::microseconds(options_.gap_us)
                                             : BurstGatherer::GapForBaud(baud);
        port.line = std::make_unique<PortLine>(path, baud, gap,
                                               std::chrono::milliseconds(options_.reopen_ms),
                                               names, console_);
        port.schedule = std::make_unique<LineScheduler>(polling, Tick(), Clock::now());
        // A simulated line keeps the simulator's speed, whatever the device asked for.
        const int timed_baud =
            options_.simulate && options_.sim_baud > 0 ? options_.sim_baud : baud;
        port.reply_timeout = options_.reply_timeout_ms > 0
                                 ? std::chrono::milliseconds(options_.reply_timeout_ms)
                                 : DefaultReplyTimeout(timed_baud, gap);
        ports_.push_back(std::move(port));
    }
}

int Runner::Run(const Site& site, const Plugin& plugin, int stop_fd) {
    if (options_.history) {
        const std::string error = data_lock_.Take(options_.data_dir);
        if (!error.empty()) {
            console_.Problem(error + " (--no-history polls without it)");
            return kExitCannotRun;
        }
    }
    for (const SiteDevice& d : site.devices) SetUpDevice(d, plugin);
    if (devices_.empty()) {
        console_.Problem("no device could be set up; nothing to poll");
        return kExitCannotRun;
    }
    SetUpPorts();

    polling_start_ = Clock::now();
    bool any_up = false;
    for (std::size_t i = 0; i < ports_.size(); ++i) {
        if (!ports_[i].line->OpenIfDue(polling_start_)) continue;
        LineOpened(i, polling_start_);
        any_up = true;
    }
    if (!any_up) {
        console_.Problem("no port could be opened; nothing to poll");
        return kExitCannotRun;
    }

    const Ending ending = Loop(stop_fd);

    std::string summary;
    bool all_done = true;
    for (const auto& d : devices_) {
        summary += (summary.empty() ? "" : "; ") + d->label + ": " + std::to_string(d->rounds) +
                   (d->rounds == 1 ? " round" : " rounds");
        if (d->rounds_started > d->rounds) {
            summary += " (" + std::to_string(d->rounds_started) + " begun)";
        }
        if (d->link.link().unanswered > 0) {
            summary += ", " + std::to_string(d->link.link().unanswered) + " commands unanswered";
        }
        if (d->errors > 0) summary += ", " + std::to_string(d->errors) + " device errors";
        all_done = all_done && d->rounds >= options_.rounds;
    }
    for (auto& d : devices_) {
        if (d->keeper) d->keeper->Stop();
    }
    console_.Note("stopped; " + summary);
    if (ending == Ending::kPollFailed) return kExitCannotRun;
    if (ending == Ending::kTimeLimit && options_.rounds > 0 && !all_done) return kExitTimeLimit;
    return kExitOk;
}

Runner::Ending Runner::Loop(int stop_fd) {
    const auto start = Clock::now();
    const bool limited = options_.time_limit_s > 0;
    const Clock::time_point end =
        limited ? start + std::chrono::duration_cast<Clock::duration>(
                              std::chrono::duration<double>(options_.time_limit_s))
                : Clock::time_point::max();

    std::vector<pollfd> fds;
    std::vector<std::size_t> fd_port;
    while (!stop_) {
        auto now = Clock::now();
        if (limited && now >= end) {
            console_.Note("time limit reached");
            return Ending::kTimeLimit;
        }

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
        if (stop_) break;
        WatchSilence(now);

        Clock::time_point wake = now + std::chrono::seconds(1);
        wake = std::min(wake, end);
        fds.clear();
        fd_port.clear();
        fds.push_back(pollfd{stop_fd, POLLIN, 0});
        fd_port.push_back(ports_.size());
        for (std::size_t i = 0; i < ports_.size(); ++i) {
            PortLine& line = *ports_[i].line;
            if (!line.up()) {
                wake = std::min(wake, line.next_retry());
                continue;
            }
            if (auto due = WakeFor(ports_[i], now)) wake = std::min(wake, *due);
            if (auto due = line.BurstDeadline()) wake = std::min(wake, *due);
            fds.push_back(pollfd{line.fd(), POLLIN, 0});
            fd_port.push_back(i);
        }
        const std::size_t port_fds = fds.size();
        std::vector<std::size_t> shares;  // fds each participant added
        for (LoopParticipant* p : participants_) {
            const std::size_t before = fds.size();
            p->AddWaits(fds, wake);
            shares.push_back(fds.size() - before);
        }
        const auto wait = std::max(Clock::duration::zero(), wake - Clock::now());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        const int ready = ::ppoll(fds.data(), fds.size(), &timeout, nullptr);
        if (ready < 0) {
            if (errno == EINTR) continue;
            console_.Problem(std::string("waiting for the lines failed: ") + std::strerror(errno));
            return Ending::kPollFailed;
        }
        now = Clock::now();
        std::size_t offset = port_fds;
        for (std::size_t i = 0; i < participants_.size(); ++i) {
            participants_[i]->HandleWaits(fds.data() + offset, shares[i], now);
            offset += shares[i];
        }
        if (ready == 0) continue;
        if (fds[0].revents != 0) return Ending::kSignal;
        for (std::size_t k = 1; k < port_fds && !stop_; ++k) {
            if (fds[k].revents == 0) continue;
            PortState& port = ports_[fd_port[k]];
            PortLine& line = *port.line;
            if (!line.up() || line.fd() != fds[k].fd) continue;  // closed meanwhile
            for (auto& burst : line.ReadAvailable(now)) {
                Deliver(port, std::move(burst));
                if (stop_) break;
            }
            if (line.up() && (fds[k].revents & (POLLHUP | POLLERR | POLLNVAL))) {
                line.MarkLost((fds[k].revents & POLLHUP) ? "hung up" : "line error", now);
            }
        }
    }
    return Ending::kRoundsDone;
}

void Runner::SendSP(ZorVDevice& device, int type_id, const unsigned char* data,
                    unsigned int length, bool) {
    DeviceState* state = Find(device);
    if (state == nullptr) return;
    chatter_.Flush(state->label);  // what the device printed first stays first
    ++state->rounds;
    NoteRoundCompleted(*state);
    const std::optional<std::uint64_t> checks =
        options_.verbose ? std::optional<std::uint64_t>(state->checks) : std::nullopt;
    state->checks = 0;
    const auto record = record_tools::DecodeRecord(data, length);
    if (!record) {
        console_.Record("[" + state->label + "] round " + std::to_string(state->rounds) +
                        "  published " + std::to_string(length) + " bytes of type " +
                        std::to_string(type_id) + " (not a 32-cell record)");
    } else if (options_.json) {
        console_.Record(record_tools::JsonLine(*record, state->rounds, checks));
    } else {
        console_.Record(record_tools::RoundLine(*record, state->rounds, checks));
    }
    state->last_round = std::chrono::system_clock::now();
    FeedOutputs(*state, type_id, data, length, record ? &*record : nullptr);
    if (RoundsDone()) stop_ = true;
}

void Runner::SaveDeviceHistory(ZorVDevice& device, const unsigned char* data, unsigned int length) {
    DeviceState* state = Find(device);
    if (state == nullptr || !state->keeper) return;
    state->keeper->Save(data, length, HistoryIntervalSeconds(*state->device), Clock::now());
}

void Runner::CheckThreshold(ZorVDevice& device, const std::string&, const std::string&, float, int) {
    if (DeviceState* state = Find(device)) ++state->checks;
}

void Runner::FeedOutputs(const DeviceState& state, int type_id, const unsigned char* data,
                         unsigned int length, const Battery32_Data_t* record) {
    if (outputs_.empty()) return;
    const DeviceStatus status = StatusOf(state);
    const CompletedRound round{status, type_id, data, length, record};
    for (RoundOutput* output : outputs_) {
        try {
            output->OnRound(round);
        } catch (const std::exception& e) {
            if (output_failures_++ == 0) {
                console_.Problem(std::string("an output failed to take a round: ") + e.what() +
                                 " (later failures are only counted)");
            }
        }
    }
}

DeviceStatus Runner::StatusOf(const DeviceState& state) const {
    DeviceStatus s;
    s.data_id = state.site.data_id;
    s.name = state.site.name;
    s.port = state.site.port;
    s.polls = state.polls;
    s.rounds = state.rounds;
    s.rounds_started = state.rounds_started;
    const DeviceLink& link = state.link.link();
    s.abandoned = link.abandoned;
    s.resends = link.resends;
    s.unanswered = link.unanswered;
    s.wrong_replies = link.foreign_replies;
    s.errors = state.errors;
    s.last_round = state.last_round;
    s.state = link.state == DeviceLink::State::kSilent ? "silent"
              : state.rounds == 0                       ? "waiting"
                                                        : "polling";
    s.silent_since = link.silent_since;
    return s;
}

std::vector<DeviceStatus> Runner::Statuses() const {
    std::vector<DeviceStatus> all;
    for (const auto& d : devices_) all.push_back(StatusOf(*d));
    return all;
}

bool Runner::RoundsDone() const {
    if (options_.rounds == 0) return false;
    for (const auto& d : devices_) {
        if (d->rounds < options_.rounds) return false;
    }
    return true;
}

std::string Runner::Hex(const std::uint8_t* data, std::size_t length) const {
    std::string out;
    char byte[4];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", data[i]);
        out += byte;
    }
    return out;
}

}  // namespace runner
