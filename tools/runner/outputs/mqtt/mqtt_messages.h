#pragma once
// The topics and payloads the runner publishes (layout in the README):
//   <prefix>/availability          "online" / "offline", retained, last will
//   <prefix>/<data id>/state       one JSON object per round and per change
//                                  of the device's state, retained
//   <prefix>/<data id>/availability "online" / "offline": the device's
//                                  readings are current, retained
//   <prefix>/<data id>/alarms      the device's active alarms, retained
//   <prefix>/<data id>/alarm       one JSON object per alarm raised or cleared
//   <discovery>/sensor/<node>/<sensor>/config   discovery, retained
//   <discovery>/binary_sensor/<node>/alarm/config

#include <cstdint>
#include <string>
#include <vector>

#include "battery32/battery32_data.h"
#include "tools/alarm_log/active_alarms.h"
#include "tools/runner/outputs/device_status.h"

namespace runner::outputs {

struct MqttMessage {
    std::string topic;
    std::string payload;
};

std::string AvailabilityTopic(const std::string& prefix);
std::string StateTopic(const std::string& prefix, std::uint32_t data_id);
std::string DeviceAvailabilityTopic(const std::string& prefix, std::uint32_t data_id);
std::string AlarmTopic(const std::string& prefix, std::uint32_t data_id);
std::string AlarmsTopic(const std::string& prefix, std::uint32_t data_id);

// {"data_id":1001,"level":2,"active":[...]}: the device's active alarms, as
// raised, and the most severe level among them (0: none).
std::string AlarmsPayload(std::uint32_t data_id, const alarm_log::ActiveAlarms& active);

// The --json line of the round (with its energy counters) with the device's
// state and its port's added:
// {...,"energy":{...},"state":"polling","port_state":{"node":"/dev/ttyUSB0",...}}
std::string StatePayload(const Battery32_Data_t& record, std::uint64_t round,
                         const energy::EnergyCounters& energy, const std::string& state,
                         const line::PortState& port_state);
// Before the device's first record: {"data_id":1001,"state":"port lost","port_state":{...}}
std::string StatePayload(std::uint32_t data_id, const std::string& state,
                         const line::PortState& port_state);

// One sensor config per cell, group voltage, current, temperature and energy
// counter (kWh and Ah, each way), grouped as one device, reading the state
// topic, unavailable unless both the runner and the device are available and
// expiring `expire_after_s` after their last value (0: never); and from the
// alarms topic, unavailable only with the runner (a silent device's
// lost-communication alarm must show), a problem sensor and the most severe
// active level.
std::vector<MqttMessage> DiscoveryMessages(const std::string& discovery_prefix,
                                           const std::string& prefix, const DeviceStatus& device,
                                           int expire_after_s);

// The topics of the device's discovery configs (an empty retained message
// on each takes the device out of discovery).
std::vector<std::string> DiscoveryTopics(const std::string& discovery_prefix,
                                         const std::string& prefix, std::uint32_t data_id);

}  // namespace runner::outputs
