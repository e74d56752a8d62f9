#pragma once
// The site file: which devices to create and where their modules are, and
// what their serial ports need.
//
// {
//   "name": "plant north",          optional, shown by the web view (default:
//                                    the file's name without ".json")
//   "lost_communication_level": 2,  optional: level of the alarm a silent
//                                    device raises, 1..3; 0: none (default 2)
//   "devices": [
//     { "data_id": 1001,            host data id, 1..4294967295, unique
//       "address": 1,               the module's address on the wire, 0..255 or "0x01"
//       "port": "/dev/ttyS1",       serial line; devices may share one (a bus)
//       "name": "string A",         optional, shown in notes
//       "charging_current": "positive",  optional: the sign of a current that
//                                    charges the string, "positive" (default) or "negative"
//       "settings": {               optional; handed to the device as is
//         "appSetting": { "b_mode": "1", "group_voltage": ["1002"], ... },
//         "thresholdSetting": { ... } } } ],   rules: site_alarm_rules.h
//   "ports": {                      optional; each a port some device is on
//     "/dev/ttyS1": {
//       "echo": "auto",             true, false or "auto" (default)
//       "rs485": {                  true, false, or on with these (defaults shown):
//         "rts_while_sending": "high", "rts_after_sending": "low",
//         "delay_before_send_ms": 0, "delay_after_send_ms": 0,   0..100
//         "receive_while_sending": false } } } }

#include <json/value.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/runner/alarms/alarm_rule.h"
#include "tools/runner/energy/energy_integrator.h"
#include "tools/runner/line/port_state.h"

namespace runner::site {

struct SiteDevice {
    std::uint32_t data_id = 0;
    std::uint8_t address = 0;  // wire address
    std::string port;
    std::string name;
    energy::ChargingCurrent charging_current = energy::ChargingCurrent::kPositive;
    Json::Value settings{Json::objectValue};
    // Data ids named in appSetting.group_voltage, for polling partners first.
    std::vector<std::uint32_t> partners;
    // The host's alarm rules among the settings' threshold rules.
    std::vector<alarms::AlarmRule> alarm_rules;
};

struct Site {
    std::string path;
    std::string name;  // for people: "name", or the file's name without ".json"
    std::vector<SiteDevice> devices;
    int lost_communication_level = 2;  // 0: no lost-communication alarm
    // By port path; a port missing here gets the defaults.
    std::map<std::string, line::PortSettings> ports;
    // One line each for what is read but not as meant (a key nobody reads, a
    // value the device reads as 0); the run goes on unless told to be strict.
    std::vector<std::string> warnings;
};

// Partners the settings name are read as the device reads them; each must be
// another device of the site, and no chain of them may lead back to its start.
// Every port named under "ports" must be one a device is on. A misspelt
// key is a warning, unless it leaves a required member missing.
// Throws json_input::InputError with one line naming the file and the member.
Site ReadSite(const Json::Value& root, const std::string& path);
Site ReadSiteFile(const std::string& path);

// "1001" or "1001 (string A)".
std::string DeviceLabel(const SiteDevice& device);
// A wire address as "0x01".
std::string AddressText(unsigned address);

}  // namespace runner::site
