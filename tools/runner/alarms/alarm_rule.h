#pragma once
// One alarm rule of a device, as the site file gives it beside the device's
// own rule texts (site/site_alarm_rules.h reads it): the value it watches,
// the limit that raises it, the value that clears it and how long each
// condition must hold first.

#include <chrono>
#include <string>

namespace runner::alarms {

struct AlarmRule {
    std::string key;    // the rule's member name under "thresholdSetting"
    int variable = -1;  // what it watches (watched_variable.h), or kEveryCell
    bool above = true;  // raised above the limit, else below it
    float limit = 0;
    float clear = 0;                     // cleared at or beyond this value, back from the limit
    int level = 1;                       // 1 warning, 2 major, 3 critical
    std::chrono::milliseconds delay{0};  // for raising and for clearing
    std::string code;                    // "NMAlarmID;ID;SignalNumber;", as the device composes it

    // The value is past the limit: the condition that raises the alarm.
    bool Beyond(float value) const { return above ? value > limit : value < limit; }
    // The value is back at the clear value: the condition that clears it.
    bool Back(float value) const { return above ? value <= clear : value >= clear; }
};

}  // namespace runner::alarms
