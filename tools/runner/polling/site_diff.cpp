#include "tools/runner/polling/site_diff.h"

#include <algorithm>

namespace runner::polling {
namespace {

using site::Site;
using site::SiteDevice;

const SiteDevice* Entry(const Site& site, std::uint32_t data_id) {
    for (const SiteDevice& d : site.devices)
        if (d.data_id == data_id) return &d;
    return nullptr;
}

// Every member the file gives. The partners and the alarm rules are read from
// the settings: equal settings give equal ones.
bool SameEntry(const SiteDevice& a, const SiteDevice& b) {
    return a.data_id == b.data_id && a.address == b.address && a.port == b.port &&
           a.name == b.name && a.charging_current == b.charging_current && a.settings == b.settings;
}

bool SameMode(const serial_port::Rs485& a, const serial_port::Rs485& b) {
    return a.enabled == b.enabled && a.rts_high_while_sending == b.rts_high_while_sending &&
           a.rts_high_after_sending == b.rts_high_after_sending &&
           a.delay_before_send_ms == b.delay_before_send_ms &&
           a.delay_after_send_ms == b.delay_after_send_ms &&
           a.receive_while_sending == b.receive_while_sending;
}

// A port the site gives no settings has the defaults.
bool SamePortSettings(const Site& a, const Site& b, const std::string& path) {
    const auto in_a = a.ports.find(path);
    const auto in_b = b.ports.find(path);
    const line::PortSettings x = in_a == a.ports.end() ? line::PortSettings{} : in_a->second;
    const line::PortSettings y = in_b == b.ports.end() ? line::PortSettings{} : in_b->second;
    if (x.echo != y.echo || x.rs485.has_value() != y.rs485.has_value()) return false;
    return !x.rs485 || SameMode(*x.rs485, *y.rs485);
}

}  // namespace

bool Among(const std::vector<std::uint32_t>& ids, std::uint32_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

SiteDiff CompareSites(const Site& running, const Site& next) {
    SiteDiff diff;
    for (const SiteDevice& d : next.devices) {
        const SiteDevice* before = Entry(running, d.data_id);
        if (before != nullptr && SameEntry(*before, d)) {
            diff.unchanged.push_back(d.data_id);
            if (!SamePortSettings(running, next, d.port)) diff.ports.insert(d.port);
            continue;
        }
        (before == nullptr ? diff.added : diff.restarted).push_back(d.data_id);
        diff.ports.insert(d.port);
        if (before != nullptr) diff.ports.insert(before->port);
    }
    for (const SiteDevice& d : running.devices) {
        if (Entry(next, d.data_id) != nullptr) continue;
        diff.removed.push_back(d.data_id);
        diff.ports.insert(d.port);
    }
    diff.name_changed = running.name != next.name;
    diff.link_level_changed = running.lost_communication_level != next.lost_communication_level;
    return diff;
}

}  // namespace runner::polling
