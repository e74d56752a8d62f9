// The runner's share of a line: whose turn it is, holding the line for one
// exchange, reply timeouts, and the notes about a line that cannot keep up or
// a device that stopped answering.

#include <time.h>

#include <algorithm>
#include <cstdio>

#include "tools/runner/line_timing.h"
#include "tools/runner/runner.h"
#include "tools/sim/module_wire.h"

namespace runner {
namespace {

std::string Duration(std::chrono::steady_clock::duration d) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    if (ms < 10000) return std::to_string(ms) + " ms";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

std::string ClockTime(std::chrono::system_clock::time_point t) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(t);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

std::string Hex(const std::uint8_t* data, std::size_t length) {
    std::string out;
    char byte[4];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", data[i]);
        out += byte;
    }
    return out;
}

// A reply's start carries the address of the module that sent it.
bool FromAnotherAddress(const std::vector<std::uint8_t>& burst, unsigned address) {
    return burst.size() >= 2 && burst[0] == module_sim::kReplyLead && burst[1] != (address & 0xFFu);
}

void ReportPace(const Console& console, const std::string& path, const LineScheduler::Pace& pace) {
    const std::string line = "port " + path + ": ";
    if (pace.behind) {
        console.Problem(line + std::to_string(pace.devices) + " devices take " +
                        Duration(pace.cycle) + " to each get a turn, more than the " +
                        Duration(pace.tick) +
                        " tick: they are polled in turn as fast as the line allows");
    } else {
        console.Problem(line + "keeping up with the " + Duration(pace.tick) + " tick again");
    }
}

}  // namespace

void Runner::LineOpened(std::size_t port_index, Clock::time_point now) {
    ports_[port_index].schedule.Restart(now);
    for (auto& d : devices_) {
        if (d->port == port_index) d->link.PollingStarts(now);
    }
}

bool Runner::MayStart(std::size_t index, Clock::time_point now) const {
    const DeviceState& d = *devices_[index];
    // Only the first round waits, and never longer than it takes to call a device silent.
    if (d.link.has_completed() || now - polling_start_ >= SilencePeriod(Tick())) return true;
    for (const std::uint32_t partner : d.site.partners) {
        for (const auto& p : devices_) {
            if (p->site.data_id != partner || p.get() == &d) continue;
            if (p->link.has_completed() || p->link.in_trouble() || !ports_[p->port].line->up())
                continue;
            // Two devices that add each other: neither waits.
            const auto& back = p->site.partners;
            if (std::find(back.begin(), back.end(), d.site.data_id) == back.end()) return false;
        }
    }
    return true;
}

void Runner::ServeLine(PortState& port, Clock::time_point now) {
    LineScheduler& schedule = port.schedule;
    // A reply still coming in is waited for: handing it over late beats handing it to the next
    // device.
    if (const auto deadline = schedule.deadline();
        deadline && now >= *deadline && !port.line->BurstDeadline()) {
        DeviceState& holder = *devices_[*schedule.holder()];
        holder.link.Unanswered();
        if (options_.trace)
            console_.Note("  " + port.line->path() + " no reply for " + holder.label);
        schedule.Release();
    }
    // A turn that sends nothing leaves the line free for the next; each device at most once here.
    for (std::size_t turns = 0; turns < schedule.size() && !stop_ && port.line->up(); ++turns) {
        const auto next = schedule.Next(now, [&](std::size_t i) { return MayStart(i, now); });
        if (!next) break;
        TakeTurn(port, *next, now);
        if (schedule.holder()) break;
    }
    if (const auto pace = schedule.TakePaceChange(); pace && options_.tick_ms > 0) {
        ReportPace(console_, port.line->path(), *pace);
    }
}

void Runner::TakeTurn(PortState& port, std::size_t index, Clock::time_point now) {
    DeviceState& state = *devices_[index];
    port.schedule.Take(index, now);
    port.sent_in_turn = false;
    const std::uint64_t begun = state.status.rounds_started;
    ++state.status.polls;
    CallDevice(state, "RefreshStatus", [&] { state.device->RefreshStatus(); });
    if (port.sent_in_turn && state.status.rounds_started == begun) state.link.Resent();
    // Nothing went out (the port failed, say): nothing to wait for.
    if (!port.sent_in_turn && port.schedule.holder() == index) port.schedule.Release();
}

void Runner::Deliver(PortState& port, std::vector<std::uint8_t> burst) {
    const std::optional<std::size_t> holder = port.schedule.holder();
    if (options_.trace) {
        const std::string to = holder ? devices_[*holder]->label : "nobody: dropped";
        console_.Note("  " + port.line->path() + " < " + Hex(burst.data(), burst.size()) + " (to " +
                      to + ")");
    }
    if (!holder) return;  // nobody is waiting: a late reply or line noise
    DeviceState& state = *devices_[*holder];
    if (!port.reply_started && FromAnotherAddress(burst, state.site.address))
        state.link.ForeignReply();
    port.reply_started = true;
    int result = 1;
    CallDevice(state, "process", [&] {
        result = state.device->process(burst.data(), static_cast<unsigned int>(burst.size()));
    });
    if (result != 0) return;  // more to come: a reply in pieces, or the next command
    state.link.ExchangeEnded();
    if (port.schedule.holder() == holder) port.schedule.Release();
}

void Runner::SendData(ZorSPDevice& device, const unsigned char* data, unsigned int length) {
    DeviceState* state = Find(device);
    if (state == nullptr || ports_.empty() || data == nullptr) return;
    PortState& port = ports_[state->port];
    port.line->DiscardHeld();
    const auto now = Clock::now();
    const bool sent = port.line->Write(data, length, now);
    if (options_.trace) {
        console_.Note("  " + port.line->path() + " > " + Hex(data, length) + " (from " +
                      state->label + (sent ? ")" : ", not sent: port down)"));
    }
    const auto holder = port.schedule.holder();
    if (!sent || !holder || devices_[*holder].get() != state) return;
    port.sent_in_turn = true;
    port.reply_started = false;
    port.schedule.AwaitReply(now + port.reply_timeout);
}

void Runner::RefreshStatus(ZorSPDevice& device) {
    if (DeviceState* state = Find(device)) state->link.RoundBegun();
}

void Runner::WatchSilence(Clock::time_point now) {
    const auto period = SilencePeriod(Tick());
    for (auto& d : devices_) {
        if (!ports_[d->port].line->up() || !d->link.BecameSilent(now, period)) continue;
        console_.Problem("[" + d->label + "] silent: no round completed since " +
                         ClockTime(d->status.silent_since) + " (" + Duration(period) +
                         " or more); still asking on each turn");
    }
}

}  // namespace runner
