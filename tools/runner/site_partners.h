#pragma once
// Partners named in a device's settings: "group_voltage" (devices whose group
// voltages are added to its own) and "r_data_id" (the device whose current it
// reads). The ids are read from their text exactly as the device reads them,
// so that what is checked here is what the device will ask for.

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

namespace runner {

struct PartnerRef {
    std::uint32_t data_id = 0;
    std::string where;  // "site.json: devices[0].settings.appSetting.group_voltage[1]"
};

struct DevicePartners {
    std::vector<PartnerRef> group_voltage;
    std::vector<PartnerRef> current;  // r_data_id; empty when 0 (none)
};

// Throws json_input::InputError for an entry the device could not read.
// `where` names the settings' "appSetting" object.
DevicePartners ReadPartners(const Json::Value& app, const std::string& where);

struct PartnerNode {
    std::uint32_t data_id = 0;
    const DevicePartners* partners = nullptr;
};

// Every partner must be another device of the site, and no device may depend
// on itself through a chain of partners. Throws json_input::InputError with
// one line naming the member.
void CheckPartners(const std::vector<PartnerNode>& devices);

}  // namespace runner
