#pragma once
// The topics and payloads the runner publishes (layout in the README):
//   <prefix>/availability          "online" / "offline", retained, last will
//   <prefix>/<data id>/state       one JSON object per round, retained
//   <discovery>/sensor/<node>/<sensor>/config   discovery, retained

#include <cstdint>
#include <string>
#include <vector>

#include "battery32/battery32_data.h"
#include "tools/runner/outputs/device_status.h"

namespace runner::outputs {

struct MqttMessage {
    std::string topic;
    std::string payload;
};

std::string AvailabilityTopic(const std::string& prefix);
std::string StateTopic(const std::string& prefix, std::uint32_t data_id);

// The --json line of the round with the device's state and its port's added:
// {...,"state":"polling","port_state":{"node":"/dev/ttyUSB0",...}}
std::string StatePayload(const Battery32_Data_t& record, std::uint64_t round,
                         const std::string& state, const line::PortState& port_state);

// One sensor config per cell, group voltage, current and temperature, grouped
// as one device, reading the state topic and going unavailable with the runner.
std::vector<MqttMessage> DiscoveryMessages(const std::string& discovery_prefix,
                                           const std::string& prefix, const DeviceStatus& device);

}  // namespace runner::outputs
