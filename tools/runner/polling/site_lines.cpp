#include "tools/runner/polling/site_lines.h"

#include <algorithm>

#include "tools/common/serial_port.h"
#include "tools/runner/line/line_timing.h"
#include "tools/runner/line/poll_order.h"

namespace runner::polling {

void SiteLines::Build(host::SiteDevices& devices,
                      const std::map<std::string, line::PortSettings>& settings,
                      const std::set<std::string>* ports) {
    std::map<std::string, std::vector<std::size_t>> users;
    std::vector<std::string> order;  // first appearance in the site
    std::vector<site::SiteDevice> sites;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        sites.push_back(devices[i].site);
        if (ports != nullptr && ports->count(sites[i].port) == 0) continue;
        if (!users.count(sites[i].port)) order.push_back(sites[i].port);
        users[sites[i].port].push_back(i);
    }
    for (const std::string& path : order) {
        const std::vector<std::size_t> polling = line::PollOrder(sites, users[path]);
        const int baud = devices[polling.front()].device->baud_rate_;
        std::vector<line::LineMember> members;
        for (const std::size_t i : polling) {
            host::HostedDevice& d = devices[i];
            members.push_back(line::LineMember{d.key, d.label, d.site.address, &d.link,
                                               &d.status.port_state, &d.status.line_pace});
            if (d.device->baud_rate_ != baud) {
                console_.Problem("device " + d.label + " wants " +
                                 std::to_string(d.device->baud_rate_) + " baud but shares " + path +
                                 " at " + std::to_string(baud));
            }
        }
        lines_.push_back(std::make_unique<line::LineTurns>(SettingsFor(path, baud, settings),
                                                           std::move(members), devices_, console_));
        new_.push_back(lines_.back().get());
        for (const std::size_t i : polling) devices[i].line = new_.back();
    }
}

line::LineSettings SiteLines::SettingsFor(
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

bool SiteLines::OpenNew(Clock::time_point now, bool others_up) {
    bool any_up = others_up;
    for (line::LineTurns* l : new_) any_up = l->OpenIfDue(now) || any_up;
    for (const line::LineTurns* l : new_) l->SayNotOpened(any_up);
    return any_up;
}

void SiteLines::JoinLoop(loop::EventLoop& loop, const loop::Participant* before) {
    for (line::LineTurns* l : new_) loop.Add(*l, before);
    new_.clear();
}

void SiteLines::Drop(const std::set<std::string>& ports, host::SiteDevices& devices,
                     loop::EventLoop& loop) {
    for (auto l = lines_.begin(); l != lines_.end();) {
        if (ports.count((*l)->path()) == 0) {
            ++l;
            continue;
        }
        for (std::size_t i = 0; i < devices.size(); ++i)
            if (devices[i].line == l->get()) devices[i].line = nullptr;
        loop.Remove(**l);
        SayGarbledEchoes(**l);
        l = lines_.erase(l);
    }
}

void SiteLines::SayGarbledEchoes() const {
    for (const auto& l : lines_) SayGarbledEchoes(*l);
}

void SiteLines::SayGarbledEchoes(const line::LineTurns& line) const {
    const line::PortState& port = line.port_state();
    if (port.garbled_echoes == 0) return;
    console_.Problem("port " + line.path() + ": " +
                     console::Count(port.garbled_echoes, "garbled echo", "garbled echoes") +
                     " dropped");
}

}  // namespace runner::polling
