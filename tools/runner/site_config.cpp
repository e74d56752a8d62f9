#include "tools/runner/site_config.h"

#include <cstdio>
#include <set>
#include <utility>

#include "tools/common/json_input.h"
#include "tools/runner/site_partners.h"

namespace runner {
namespace {

using json_input::InputError;
using json_input::Member;

void CheckSettings(const Json::Value& settings, const std::string& where) {
    json_input::ExpectObject(settings, where);
    for (const char* key : {"appSetting", "thresholdSetting"}) {
        const Json::Value& part = settings[key];
        if (!part.isNull()) json_input::ExpectObject(part, Member(where, key));
    }
    const Json::Value& app = settings["appSetting"];
    if (!app.isNull() && !app["group_voltage"].isNull()) {
        json_input::ExpectArray(app["group_voltage"],
                                Member(Member(where, "appSetting"), "group_voltage"));
    }
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
    std::set<std::uint32_t> ids;
    std::set<std::pair<std::string, int>> addresses;
    std::vector<DevicePartners> partners;
    for (Json::ArrayIndex i = 0; i < devices.size(); ++i) {
        const std::string where = json_input::Element(origin + "devices", i);
        const Json::Value& d = devices[i];
        json_input::ExpectObject(d, where);
        SiteDevice device;
        device.data_id = static_cast<std::uint32_t>(
            json_input::RequireInteger(d, "data_id", where, 1, 4294967295LL));
        device.address =
            static_cast<std::uint8_t>(json_input::RequireInteger(d, "address", where, 0, 255));
        device.port = json_input::RequireString(d, "port", where);
        device.name = json_input::OptionalString(d, "name", where).value_or("");
        if (!d["settings"].isNull()) {
            CheckSettings(d["settings"], Member(where, "settings"));
            device.settings = d["settings"];
        }
        partners.push_back(ReadPartners(device.settings["appSetting"],
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
    std::vector<PartnerNode> nodes;
    for (std::size_t i = 0; i < site.devices.size(); ++i)
        nodes.push_back({site.devices[i].data_id, &partners[i]});
    CheckPartners(nodes);
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

}  // namespace runner
