#include "tools/runner/site/site.h"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "battery/numeric_text.h"
#include "tools/common/json_input.h"
#include "tools/runner/site/device_settings_check.h"
#include "tools/runner/site/site_alarm_rules.h"

namespace runner::site {
namespace {

using json_input::InputError;
using json_input::Member;

void CheckSettings(const Json::Value& settings, const std::string& where) {
    json_input::ExpectObject(settings, where);
    for (const char* key : {"appSetting", "thresholdSetting"}) {
        const Json::Value& part = settings[key];
        if (!part.isNull()) json_input::ExpectObject(part, Member(where, key));
    }
}

// Partners named in a device's settings: "group_voltage" (devices whose group
// voltages are added to its own) and "r_data_id" (the device whose current it
// reads). The ids are read from their text exactly as the device reads them,
// so that what is checked here is what the device will ask for.
struct PartnerRef {
    std::uint32_t data_id = 0;
    std::string where;  // "site.json: devices[0].settings.appSetting.group_voltage[1]"
};

struct DevicePartners {
    std::uint32_t data_id = 0;  // the device that names them
    std::vector<PartnerRef> group_voltage;
    std::vector<PartnerRef> current;  // r_data_id; empty when 0 (none)
};

// The device's text: asString() of a number, a string, null or a boolean.
std::string DeviceText(const Json::Value& v, const std::string& where) {
    if (v.isArray() || v.isObject()) {
        throw InputError(where + ": must be a data id, got " + json_input::TypeName(v));
    }
    return v.asString();
}

// `app` is the settings' "appSetting" object, or null; `where` names it.
DevicePartners ReadPartners(std::uint32_t data_id, const Json::Value& app,
                            const std::string& where) {
    DevicePartners partners{data_id, {}, {}};
    const Json::Value& list = app["group_voltage"];
    const std::string list_where = Member(where, "group_voltage");
    if (!list.isNull()) json_input::ExpectArray(list, list_where);
    // The device ignores a longer list whole, so it names no partners.
    if (list.size() <= numeric_text::kMaxSettingsArrayElements) {
        std::set<std::uint32_t> seen;  // the device keeps each partner once
        for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
            const std::string place = json_input::Element(list_where, i);
            const std::uint32_t id = numeric_text::ToPartnerId(DeviceText(list[i], place));
            if (seen.insert(id).second) partners.group_voltage.push_back({id, place});
        }
    }
    const Json::Value& current = app["r_data_id"];
    if (!current.isNull()) {
        const std::string place = Member(where, "r_data_id");
        // The device reads it with atoi into an int and asks with it as unsigned.
        const int id = numeric_text::ToInt(DeviceText(current, place));
        if (id != 0) partners.current.push_back({static_cast<std::uint32_t>(id), place});
    }
    return partners;
}

using Graph = std::map<std::uint32_t, const std::vector<PartnerRef>*>;

// Depth-first walk; on a cycle, throws naming the chain from where it closes.
void Walk(const Graph& graph, std::uint32_t id, std::vector<std::uint32_t>& path,
          std::set<std::uint32_t>& done) {
    if (done.count(id)) return;
    const auto closing = std::find(path.begin(), path.end(), id);
    if (closing != path.end()) {
        std::string chain;
        for (auto j = closing; j != path.end(); ++j) chain += std::to_string(*j) + " -> ";
        std::string where = graph.at(path.back())->front().where;
        if (!where.empty() && where.back() == ']')
            where.erase(where.rfind('['));  // the list, not one entry
        throw InputError(where + ": " + chain + std::to_string(id) +
                         " is a cycle: each would take its value from the other");
    }
    path.push_back(id);
    for (const PartnerRef& p : *graph.at(id)) Walk(graph, p.data_id, path, done);
    path.pop_back();
    done.insert(id);
}

// Every partner must be another device of the site, and no device may depend
// on itself through a chain of partners.
void CheckPartners(const std::vector<DevicePartners>& devices,
                   const std::vector<PartnerRef> DevicePartners::*list) {
    Graph graph;
    for (const DevicePartners& d : devices) graph[d.data_id] = &(d.*list);
    for (const DevicePartners& d : devices) {
        for (const PartnerRef& p : d.*list) {
            const std::string id = std::to_string(p.data_id);
            if (p.data_id == d.data_id)
                throw InputError(p.where + ": " + id + " is the device itself");
            if (!graph.count(p.data_id))
                throw InputError(p.where + ": " + id + " names no device of this site");
        }
    }
    std::set<std::uint32_t> done;
    for (const DevicePartners& d : devices) {
        std::vector<std::uint32_t> path;
        Walk(graph, d.data_id, path, done);
    }
}

// The level of the alarm a silent device raises; 0 for none.
int LostCommunicationLevel(const Json::Value& root, const std::string& origin) {
    try {
        return static_cast<int>(
            json_input::OptionalInteger(root, "lost_communication_level", "", 0, 3).value_or(2));
    } catch (const InputError& e) {
        throw InputError(origin + e.what());
    }
}

// Refuses a member the reader does not know: a misspelt port setting would
// otherwise be left out without a word.
void CheckMembers(const Json::Value& object, const std::string& where,
                  std::initializer_list<const char*> known) {
    for (const std::string& name : object.getMemberNames()) {
        if (std::none_of(known.begin(), known.end(), [&](const char* k) { return name == k; })) {
            std::string list;
            for (const char* k : known) list += std::string(list.empty() ? "" : ", ") + k;
            throw InputError(Member(where, name.c_str()) + ": not a setting here (" + list + ")");
        }
    }
}

energy::ChargingCurrent ReadChargingCurrent(const Json::Value& device, const std::string& where) {
    const auto text = json_input::OptionalString(device, "charging_current", where);
    if (!text || *text == "positive") return energy::ChargingCurrent::kPositive;
    if (*text == "negative") return energy::ChargingCurrent::kNegative;
    throw InputError(Member(where, "charging_current") +
                     ": must be \"positive\" or \"negative\", got \"" + *text + "\"");
}

line::EchoMode ReadEcho(const Json::Value& echo, const std::string& where) {
    if (echo.isNull() || (echo.isString() && echo.asString() == "auto"))
        return line::EchoMode::kAuto;
    if (echo.isBool()) return echo.asBool() ? line::EchoMode::kOn : line::EchoMode::kOff;
    throw InputError(where + ": must be true, false or \"auto\", got " +
                     json_input::TypeName(echo));
}

// "high" or "low"; `fallback` when absent.
bool ReadLevel(const Json::Value& object, const char* key, const std::string& where,
               bool fallback) {
    const auto text = json_input::OptionalString(object, key, where);
    if (!text) return fallback;
    if (*text == "high" || *text == "low") return *text == "high";
    throw InputError(Member(where, key) + ": must be \"high\" or \"low\", got \"" + *text + "\"");
}

std::optional<serial_port::Rs485> ReadRs485(const Json::Value& value, const std::string& where) {
    if (value.isNull()) return std::nullopt;
    serial_port::Rs485 mode;
    if (value.isBool()) {
        mode.enabled = value.asBool();
        return mode;
    }
    if (!value.isObject()) {
        throw InputError(where + ": must be true, false or an object, got " +
                         json_input::TypeName(value));
    }
    CheckMembers(value, where,
                 {"rts_while_sending", "rts_after_sending", "delay_before_send_ms",
                  "delay_after_send_ms", "receive_while_sending"});
    mode.rts_high_while_sending = ReadLevel(value, "rts_while_sending", where, true);
    mode.rts_high_after_sending = ReadLevel(value, "rts_after_sending", where, false);
    // Drivers keep these delays to 100 ms at most.
    mode.delay_before_send_ms = static_cast<int>(
        json_input::OptionalInteger(value, "delay_before_send_ms", where, 0, 100).value_or(0));
    mode.delay_after_send_ms = static_cast<int>(
        json_input::OptionalInteger(value, "delay_after_send_ms", where, 0, 100).value_or(0));
    mode.receive_while_sending =
        json_input::OptionalBool(value, "receive_while_sending", where).value_or(false);
    return mode;
}

// The "ports" object: settings for ports the devices are on.
std::map<std::string, line::PortSettings> ReadPorts(const Json::Value& ports,
                                                    const std::string& origin,
                                                    const std::vector<SiteDevice>& devices) {
    std::map<std::string, line::PortSettings> read;
    if (ports.isNull()) return read;
    json_input::ExpectObject(ports, origin + "ports");
    for (const std::string& path : ports.getMemberNames()) {
        const std::string where = origin + "ports[\"" + path + "\"]";
        const Json::Value& port = ports[path];
        json_input::ExpectObject(port, where);
        if (std::none_of(devices.begin(), devices.end(),
                         [&](const SiteDevice& d) { return d.port == path; })) {
            throw InputError(where + ": no device of this site is on this port");
        }
        CheckMembers(port, where, {"echo", "rs485"});
        line::PortSettings& settings = read[path];
        settings.origin = where;
        settings.echo = ReadEcho(port["echo"], Member(where, "echo"));
        settings.rs485 = ReadRs485(port["rs485"], Member(where, "rs485"));
    }
    return read;
}

// A device's members: one not known is a warning, or the error when it is
// most likely the misspelling of a required member that is missing.
void CheckDeviceMembers(const Json::Value& device, const std::string& where,
                        std::vector<std::string>* warnings) {
    const json_input::KnownKeys known = {"data_id", "address",  "port",
                                         "name",    "settings", "charging_current"};
    // Only the required members are worth an error: the others have defaults.
    const json_input::KnownKeys required = {"data_id", "address", "port"};
    for (const std::string& name : device.getMemberNames()) {
        const std::string meant = json_input::ClosestKey(name, known);
        if (meant.empty() || !device[meant].isNull() ||
            std::find(required.begin(), required.end(), meant) == required.end())
            continue;
        throw InputError(Member(where, name.c_str()) + ": unknown key (did you mean \"" + meant +
                         "\"? " + meant + " is missing)");
    }
    json_input::WarnUnknownMembers(device, where, known, warnings);
}

// "plant north" from "name", or "site" from ".../site.json".
std::string SiteName(const Json::Value& root, const std::string& path) {
    try {
        if (auto name = json_input::OptionalString(root, "name", "")) return *name;
    } catch (const InputError& e) {
        throw InputError(path + ": " + e.what());
    }
    std::string base = path.substr(path.find_last_of('/') + 1);
    if (base.size() > 5 && base.compare(base.size() - 5, 5, ".json") == 0)
        base.resize(base.size() - 5);
    return base;
}

}  // namespace

Site ReadSite(const Json::Value& root, const std::string& path) {
    const std::string origin = path + ": ";
    if (!root.isObject()) {
        throw InputError(origin + "must be an object with \"devices\", got " +
                         json_input::TypeName(root));
    }
    const Json::Value& devices = root["devices"];
    if (devices.isNull()) throw InputError(origin + "devices: missing");
    json_input::ExpectArray(devices, origin + "devices");
    if (devices.empty()) throw InputError(origin + "devices: empty, nothing to poll");

    Site site;
    site.path = path;
    site.name = SiteName(root, path);
    json_input::WarnUnknownMembers(
        root, "", {"name", "devices", "lost_communication_level", "ports"}, &site.warnings);
    for (std::string& warning : site.warnings) warning = origin + warning;
    site.lost_communication_level = LostCommunicationLevel(root, origin);
    std::set<std::uint32_t> ids;
    std::set<std::pair<std::string, int>> addresses;
    std::vector<DevicePartners> partners;
    for (Json::ArrayIndex i = 0; i < devices.size(); ++i) {
        const std::string where = json_input::Element(origin + "devices", i);
        const Json::Value& d = devices[i];
        json_input::ExpectObject(d, where);
        CheckDeviceMembers(d, where, &site.warnings);
        SiteDevice device;
        device.data_id = static_cast<std::uint32_t>(
            json_input::RequireInteger(d, "data_id", where, 1, 4294967295LL));
        device.address =
            static_cast<std::uint8_t>(json_input::RequireInteger(d, "address", where, 0, 255));
        device.port = json_input::RequireString(d, "port", where);
        device.name = json_input::OptionalString(d, "name", where).value_or("");
        device.charging_current = ReadChargingCurrent(d, where);
        if (!d["settings"].isNull()) {
            CheckSettings(d["settings"], Member(where, "settings"));
            device.settings = d["settings"];
            CheckDeviceSettings(device.settings, Member(where, "settings"), &site.warnings);
        }
        const Json::Value& settings = device.settings;  // read without adding members
        device.alarm_rules = ReadAlarmRules(settings["thresholdSetting"],
                                            Member(Member(where, "settings"), "thresholdSetting"));
        partners.push_back(ReadPartners(device.data_id, device.settings["appSetting"],
                                        Member(Member(where, "settings"), "appSetting")));
        for (const PartnerRef& p : partners.back().group_voltage)
            device.partners.push_back(p.data_id);
        if (!ids.insert(device.data_id).second) {
            throw InputError(Member(where, "data_id") + ": " + std::to_string(device.data_id) +
                             " is used by an earlier device");
        }
        if (!addresses.insert({device.port, device.address}).second) {
            throw InputError(Member(where, "address") + ": " + std::to_string(device.address) +
                             " is used by an earlier device on " + device.port);
        }
        site.devices.push_back(std::move(device));
    }
    CheckPartners(partners, &DevicePartners::group_voltage);
    CheckPartners(partners, &DevicePartners::current);
    site.ports = ReadPorts(root["ports"], origin, site.devices);
    return site;
}

Site ReadSiteFile(const std::string& path) { return ReadSite(json_input::ParseFile(path), path); }

std::string DeviceLabel(const SiteDevice& device) {
    std::string label = std::to_string(device.data_id);
    if (!device.name.empty()) label += " (" + device.name + ")";
    return label;
}

std::string AddressText(unsigned address) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", address & 0xFFu);
    return text;
}

}  // namespace runner::site
