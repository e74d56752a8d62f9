#include "battery32/threshold_settings.h"

#include <iostream>

#include "battery/numeric_text.h"
#include "battery/settings_json.h"

using settings_json::IsPresent;

namespace threshold_settings {
namespace {

// The trace lines below are part of the device's output: the host's logs and
// the tests match them word for word. They are not forgotten debug prints;
// keep their texts.
constexpr const char* kModeTrace = " b_mode_:";            // "InitSetting <id> b_mode_:<mode>"
constexpr const char* kThresholdModeTrace = "here 1";      // mode 3
constexpr const char* kRulesPresentTrace = "here 2";       // "thresholdSetting" present
constexpr const char* kRuleTrace = "here ";                // "here <rule key>"
constexpr const char* kMissingFieldTrace = " is missing";  // "<id> <field> is missing"

void ReadRules(const Json::Value& rules, ZorVDevice& device, const RuleTables& tables) {
    // Only an object has named members; anything else holds no rules.
    if (!rules.isObject()) return;
    const unsigned long id = static_cast<unsigned long>(device.data_id_);
    for (auto it = rules.begin(); it != rules.end(); ++it) {
        const std::string key = it.name();
        std::cout << kRuleTrace << key << std::endl;
        const Json::Value& rule = *it;
        if (!rule.isObject()) continue;

        const Json::Value& signal_name = rule["SignalName"];
        if (IsPresent(signal_name)) tables.signal_name_by_rule[key] = signal_name.asString();

        std::string alarm_code;
        for (const char* field : {"NMAlarmID", "ID", "SignalNumber"}) {
            const Json::Value& part = rule[field];
            if (IsPresent(part)) {
                alarm_code += part.asString();
            } else {
                std::cout << id << " " << field << kMissingFieldTrace << std::endl;
            }
            alarm_code += ';';
        }

        // "mobile:<key>:<alarm code> level:<level> value:<value>", also fixed.
        std::cout << "mobile:" << key << ":" << alarm_code
                  << " level:" << device.level_by_rule_[key]
                  << " value:" << device.value_by_rule_[key] << std::endl;
        tables.alarm_code_by_rule[key] = alarm_code;
    }
}

}  // namespace

void Read(const Json::Value& settings, ZorVDevice& device, const RuleTables& tables) {
    const Json::Value& app = settings["appSetting"];
    if (IsPresent(app) && app.isObject()) {
        const Json::Value& mode = app["b_mode"];
        if (IsPresent(mode)) {
            tables.b_mode = numeric_text::ToInt(mode.asString());
            std::cout << "InitSetting " << static_cast<unsigned long>(device.data_id_) << kModeTrace
                      << tables.b_mode << std::endl;
        }
    }

    if (tables.b_mode == kThresholdMode) {
        std::cout << kThresholdModeTrace << std::endl;
        const Json::Value& rules = settings["thresholdSetting"];
        if (IsPresent(rules)) {
            std::cout << kRulesPresentTrace << std::endl;
            ReadRules(rules, device, tables);
        }
    }
}

}  // namespace threshold_settings
