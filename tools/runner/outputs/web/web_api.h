#pragma once
// The web view's JSON: a device with its state, counters and latest record,
// and the times the history query takes. Pure text work, no sockets.

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "host/ttime.h"
#include "tools/alarm_log/active_alarms.h"
#include "tools/runner/outputs/device_status.h"
#include "tools/runner/outputs/web/web_view.h"

namespace runner::outputs {

// The members of /api/devices before "devices": "host", "site", "version",
// "time_zone" and "utc_offset" as they stand now, "tick_ms", "silent_after_s";
// each followed by a comma.
std::string HeadingJson(const ViewHeading& heading);

// A device as /api/devices lists it (the README shows one): {"data_id":1001,...}.
// `record_json` is the record as the runner's --json prints it, or empty for null.
std::string DeviceJson(const DeviceStatus& status, const std::string& record_json,
                       std::uint64_t history_records);

// The event stream's `site` event after a reload of the site file:
// {"site":"plant north","added":[1003],"removed":[1002],"restarted":[1001]}.
std::string SiteChangeJson(const SiteChange& change);

// /api/alarms: {"active":[...],"recent":[...]}, the alarms active now, oldest
// raise first, and the latest changes (JSON lines, oldest first).
std::string AlarmsJson(const alarm_log::ActiveAlarms& active,
                       const std::deque<std::string>& recent);

// A comparable number for the local wall-clock time of a record's stamp.
std::int64_t StampKey(const ttime& stamp);

// "YYYY-MM-DD hh:mm:ss" (local time) or whole epoch seconds, as a StampKey;
// nothing when the text is neither.
std::optional<std::int64_t> ParseQueryTime(const std::string& text);

}  // namespace runner::outputs
