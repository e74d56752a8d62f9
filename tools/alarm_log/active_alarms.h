#pragma once
// The alarms active at a moment, kept up to date from the alarm records as
// they come: a raise or an "active" record adds an alarm, a clear removes it.
// Kept in the order they were raised. Sites have few active alarms at a time:
// a plain list serves.

#include <cstdint>
#include <vector>

#include "tools/alarm_log/alarm_record.h"

namespace alarm_log {

class ActiveAlarms {
public:
    // Takes one record; true when it changed the set.
    bool Apply(const AlarmRecord& record);
    // Every active alarm, oldest raise first; each as it was raised (kind kRaised
    // or kActive).
    const std::vector<AlarmRecord>& list() const { return list_; }
    // The highest level among the device's active alarms; 0 when it has none.
    int HighestLevel(std::uint32_t data_id) const;
    std::size_t size() const { return list_.size(); }

private:
    std::vector<AlarmRecord> list_;
};

}  // namespace alarm_log
