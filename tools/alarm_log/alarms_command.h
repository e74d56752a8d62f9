#pragma once
// battery32-run alarms: what a data folder's alarm log holds, for people.

#include <string>
#include <vector>

namespace alarm_log {

// Runs "alarms" with `args`, the arguments after it: every alarm raised or
// cleared, or with --active the alarms active when the log ends, one line
// each; --since T keeps those from T on. Returns the exit status.
int AlarmsCommand(const std::vector<std::string>& args);

}  // namespace alarm_log
