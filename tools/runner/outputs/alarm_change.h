#pragma once
// What every output is told of an alarm: raised, cleared, or (at start,
// restored from the alarm log) active since before the restart. The change is
// an alarm record, the same object the alarm log keeps and --json prints
// (tools/alarm_log/alarm_record.h); outputs keep their own view of the active
// alarms with alarm_log::ActiveAlarms.

#include "tools/alarm_log/active_alarms.h"
#include "tools/alarm_log/alarm_record.h"

namespace runner::outputs {

using AlarmChange = alarm_log::AlarmRecord;

}  // namespace runner::outputs
