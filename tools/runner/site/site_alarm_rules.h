#pragma once
// The host's alarm rules in a site file. Each rule under a device's
// "thresholdSetting" keeps the device's own fields ("SignalName", "NMAlarmID",
// "ID", "SignalNumber") and may carry the host's:
//
//   "cell_low": { "NMAlarmID": "12", "ID": "3", "SignalNumber": "7",
//                 "watch": "battery_*_value",   a name the device submits, or every cell
//                 "below": 12.0,                or "above": the limit
//                 "level": 2,                   1 warning, 2 major, 3 critical
//                 "clear": 12.5,                optional: clears here (default: the limit)
//                 "delay_s": 5 }                optional: how long each condition must hold
//
// A rule with none of the host's fields is the device's alone.

#include <json/value.h>

#include <string>
#include <vector>

#include "tools/runner/alarms/alarm_rule.h"

namespace runner::site {

// The host's rules among `rules` (a device's "thresholdSetting", which
// `where` names), in member order. Throws json_input::InputError with one
// line naming the member at fault.
std::vector<alarms::AlarmRule> ReadAlarmRules(const Json::Value& rules, const std::string& where);

}  // namespace runner::site
