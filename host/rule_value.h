#pragma once
// One threshold-rule evaluation gathered by the host during a round; the device
// only counts these and hands the list back to the host's batch check.

#include <string>

struct rule_value {
    std::string rule_key;
    std::string name;
    float value = 0.0f;
    int level = 0;
};
