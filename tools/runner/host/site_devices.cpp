#include "tools/runner/host/site_devices.h"

#include <algorithm>
#include <stdexcept>

#include "tools/record/record_format.h"
#include "tools/runner/alarms/watched_variable.h"

namespace runner::host {
namespace {

// What a device throws from a lookup when its data is too old.
constexpr char kTimedOut[] = "数据已超时";

// The device for `entry`, set up the way the host does: the data id and the
// address assigned, the device initialised and registered with the controller
// (so that partners find it), then its settings applied. Throws what the
// device throws when it refuses its settings; it is then not registered.
std::shared_ptr<ZorSPDevice> SetUpDevice(const Plugin& plugin, const site::SiteDevice& entry,
                                         const std::shared_ptr<ZorController>& controller) {
    std::shared_ptr<ZorSPDevice> device = plugin.CreateDevice();
    device->data_id_ = entry.data_id;
    // The host keeps the address with its top bit inverted; the device turns
    // it back into the wire address in InitSetting.
    device->addr_ = static_cast<unsigned char>(entry.address ^ 0x80u);
    device->Init(controller, entry.data_id, entry.settings);
    // The host's level and limit of each of its rules, for the device's trace of its rules.
    for (const alarms::AlarmRule& rule : entry.alarm_rules) {
        device->level_by_rule_[rule.key] = rule.level;
        device->value_by_rule_[rule.key] = rule.limit;
    }
    controller->AddDevice(device);
    try {
        device->InitSetting(entry.settings);
    } catch (...) {
        controller->RemoveDevice(entry.data_id);
        throw;
    }
    return device;
}

// The limits of the device's alarm rules on its cells.
std::vector<outputs::CellLimit> CellLimits(const site::SiteDevice& entry) {
    std::vector<outputs::CellLimit> limits;
    for (const alarms::AlarmRule& rule : entry.alarm_rules) {
        if (rule.variable != alarms::kEveryCell && rule.variable < alarms::kFirstCell) continue;
        const int cell =
            rule.variable == alarms::kEveryCell ? -1 : rule.variable - alarms::kFirstCell;
        limits.push_back({rule.key, rule.above, rule.limit, rule.level, cell});
    }
    return limits;
}

}  // namespace

SiteDevices::~SiteDevices() {
    for (auto& d : devices_) d->device.reset();
}

HostedDevice* SiteDevices::Add(const site::SiteDevice& entry, const Plugin& plugin, int link_level,
                               std::string* refusal) {
    const std::string label = std::to_string(entry.data_id);
    const std::string who = "device " + site::DeviceLabel(entry);
    std::shared_ptr<ZorSPDevice> device;
    try {
        device = SetUpDevice(plugin, entry, controller_);
    } catch (const std::exception& e) {
        chatter_.Flush(label);
        const std::string why = std::string("the device refused its settings: ") + e.what();
        if (refusal != nullptr) {
            *refusal = who + ": " + why;
        } else {
            console_.Problem(who + ": not polled: " + why);
        }
        return nullptr;
    }
    chatter_.Flush(label);
    if (device->addr_ != entry.address) {
        console_.Problem(who + ": the device answers to " + site::AddressText(device->addr_) +
                         ", not " + site::AddressText(entry.address) + " as the site file says");
    }
    auto d = std::make_unique<HostedDevice>();
    d->key = next_key_++;
    d->site = entry;
    d->label = label;
    d->device = std::move(device);
    d->status.data_id = entry.data_id;
    d->status.name = entry.name;
    d->status.port = entry.port;
    d->status.cell_limits = CellLimits(entry);
    d->alarms = alarms::DeviceAlarms(entry.data_id, entry.alarm_rules, link_level);
    d->energy = energy::EnergyIntegrator(entry.charging_current);
    devices_.push_back(std::move(d));
    statuses_.push_back(&devices_.back()->status);
    return devices_.back().get();
}

void SiteDevices::Remove(std::uint32_t data_id) {
    const auto at = std::find_if(devices_.begin(), devices_.end(),
                                 [&](const auto& d) { return d->site.data_id == data_id; });
    if (at == devices_.end()) return;
    // Out of the lists first: what the device calls while being destroyed finds it no more.
    std::unique_ptr<HostedDevice> gone = std::move(*at);
    devices_.erase(at);
    statuses_.erase(std::remove(statuses_.begin(), statuses_.end(), &gone->status),
                    statuses_.end());
    controller_->RemoveDevice(data_id);
    gone->device.reset();
    chatter_.Flush(gone->label);
}

void SiteDevices::Order(const std::vector<std::uint32_t>& data_ids) {
    const auto rank = [&](const std::unique_ptr<HostedDevice>& d) {
        return std::find(data_ids.begin(), data_ids.end(), d->site.data_id) - data_ids.begin();
    };
    std::stable_sort(devices_.begin(), devices_.end(),
                     [&](const auto& a, const auto& b) { return rank(a) < rank(b); });
    statuses_.clear();
    for (const auto& d : devices_) statuses_.push_back(&d->status);
}

void SiteDevices::LoadRecord(HostedDevice& d, const std::vector<std::uint8_t>& image,
                             const std::string& source) {
    bool loaded = false;
    Call(d, "loading the cached record",
         [&] { loaded = d.device->LoadFromCache(image.data(), static_cast<int>(image.size())); });
    if (!loaded) {
        console_.Problem("[" + d.label + "] the device refused the cached record from " + source);
        return;
    }
    const auto record = record::DecodeRecord(image.data(), image.size());
    std::string line = "[" + d.label + "] cached record";
    if (record) {
        const std::string time = record::FormatTime(record->timestamp);
        if (!time.empty()) line += " of " + time;
    }
    line += " from " + source + " loaded; lookups answer ";
    // Asked the way partners ask, through the controller.
    const auto value = [&](const char* name) {
        return record::Fixed(controller_->GetValue(d.site.data_id, name), 2);
    };
    try {
        line += "group " + value("group_voltage") + " V, current " + value("group_current") +
                " A, temp " + value("temperature") + " C";
    } catch (const std::exception& e) {
        line = "[" + d.label + "] cached record loaded, but lookups fail: " + e.what();
    }
    chatter_.Flush(d.label);
    console_.Note(line);
}

void SiteDevices::Counted(HostedDevice& d, const char* what, const CallOutcome& outcome) {
    if (outcome.failure.empty() || d.status.errors++ != 0) return;
    console_.Problem("[" + d.label + "] " + what + " failed: " + outcome.failure +
                     " (later failures are only counted)");
}

HostedDevice* SiteDevices::Find(const ZorVDevice& device) {
    for (auto& d : devices_) {
        if (d->device.get() == &device) return d.get();
    }
    return nullptr;
}

HostedDevice* SiteDevices::FindId(std::uint32_t data_id) {
    for (auto& d : devices_) {
        if (d->site.data_id == data_id) return d.get();
    }
    return nullptr;
}

HostedDevice* SiteDevices::ByKey(std::size_t key) const {
    for (auto& d : devices_) {
        if (d->key == key) return d.get();
    }
    return nullptr;
}

std::string SiteDevices::Summary() const {
    std::string summary;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        const HostedDevice& d = *devices_[i];
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
    return summary;
}

bool SiteDevices::Stale(std::uint32_t data_id) const {
    try {
        controller_->GetValue(data_id, "group_voltage");
    } catch (const std::out_of_range& e) {
        return std::string(e.what()) == kTimedOut;
    }
    return false;
}

}  // namespace runner::host
