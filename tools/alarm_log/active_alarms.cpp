#include "tools/alarm_log/active_alarms.h"

#include <algorithm>

namespace alarm_log {

bool ActiveAlarms::Apply(const AlarmRecord& record) {
    const AlarmKey key = KeyOf(record);
    const auto found = std::find_if(list_.begin(), list_.end(),
                                    [&](const AlarmRecord& a) { return KeyOf(a) == key; });
    if (record.kind == AlarmKind::kCleared) {
        if (found == list_.end()) return false;
        list_.erase(found);
        return true;
    }
    if (found == list_.end()) {
        list_.push_back(record);
        return true;
    }
    // Known active already (a log's opening list repeats what came before it).
    if (record.kind == AlarmKind::kActive) return false;
    *found = record;  // raised again without a clear between: the newer word holds
    return true;
}

int ActiveAlarms::HighestLevel(std::uint32_t data_id) const {
    int level = 0;
    for (const AlarmRecord& a : list_)
        if (a.data_id == data_id) level = std::max(level, a.level);
    return level;
}

}  // namespace alarm_log
