#pragma once
// /metrics: what the runner knows, in the Prometheus text format (version
// 0.0.4): per device (label data_id) its readings from the latest record it
// published, its energy counters, link counters and active alarms by level;
// per port its line's measured cycle and rounds per second; per runner its
// version and start time. Base units (volts, amperes, degrees Celsius,
// coulombs, joules, seconds), "_total" on counters, a HELP and a TYPE line
// for every family. Pure text work, no sockets.

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "battery32/battery32_data.h"
#include "tools/alarm_log/active_alarms.h"
#include "tools/runner/outputs/device_status.h"

namespace runner::outputs {

struct MetricsSource {
    const DeviceList* devices = nullptr;
    // The latest record each device published, by data id.
    const std::map<std::uint32_t, Battery32_Data_t>* records = nullptr;
    const alarm_log::ActiveAlarms* alarms = nullptr;
    std::string version;
    std::chrono::system_clock::time_point started{};
    std::chrono::steady_clock::time_point now{};  // for the lines' rates
};

// The text a scrape gets.
std::string MetricsText(const MetricsSource& source);

}  // namespace runner::outputs
