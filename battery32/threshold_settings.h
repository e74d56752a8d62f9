#pragma once
// The threshold settings of a record device: its mode ("b_mode" under
// "appSetting") and, in the threshold mode, the alarm rules under
// "thresholdSetting", with the trace lines that reading them writes.

#include <json/value.h>

#include <map>
#include <string>

#include "host/zor_vdevice.h"

namespace threshold_settings {

// The mode in which the rules under "thresholdSetting" are read.
inline constexpr int kThresholdMode = 3;

// The device members the settings set.
struct RuleTables {
    int& b_mode;
    std::map<std::string, std::string>& alarm_code_by_rule;
    std::map<std::string, std::string>& signal_name_by_rule;
};

// Reads the mode and, in the threshold mode, the rules into `tables`. The
// device's data id prefixes trace lines, and the host's level and value of
// each rule are shown (looking them up gives a rule the host lacks a zero
// entry, as the host's own lookups do).
void Read(const Json::Value& settings, ZorVDevice& device, const RuleTables& tables);

}  // namespace threshold_settings
