#pragma once
// One alarm episode of each kind, for the end-to-end tests of every place
// alarms show: a cell that sags below its rule's limit and comes back, and a
// module that stops answering for a while.

#include <string>
#include <vector>

#include "tools/module/module_config.h"

namespace tools_test {

// Module 1: 32 cells at 13.5 V; cell 3 (battery_2_value) at 11.5 V from 0.6 s
// to 1.5 s after its line starts; no reply at all from 2.0 s to 3.5 s.
module::ModuleConfig EpisodeModule();
// Device 1001 at address 1 on `port`, in mode 3, with the rule "cell_low":
// every cell below 12.0 (clear 12.5), level 2, code "12;3;7;"; its
// lost-communication alarm at level 3.
std::string EpisodeSite(const std::string& port);
// What a run needs to go through both episodes: a one-second silence period
// and enough rounds (tick 150 ms) to see the module back.
std::vector<std::string> EpisodeArgs();

// The alarm lines among --json output, each parsed: (alarm, rule, variable).
struct SeenAlarm {
    std::string alarm, rule, variable;
    bool operator==(const SeenAlarm& o) const {
        return alarm == o.alarm && rule == o.rule && variable == o.variable;
    }
};
// What every place must show of the two episodes, in order.
std::vector<SeenAlarm> EpisodeAlarms();
std::vector<SeenAlarm> AlarmLines(const std::vector<std::string>& json_lines);
void PrintTo(const SeenAlarm& a, std::ostream* os);

}  // namespace tools_test
