#include "tools/runner/outputs/mqtt/mqtt_messages.h"

#include <json/value.h>
#include <json/writer.h>

#include <cctype>

#include "tools/record/record_format.h"

namespace runner::outputs {
namespace {

// Node ids in discovery topics allow only [a-zA-Z0-9_-].
std::string NodeId(const std::string& prefix, std::uint32_t data_id) {
    std::string node = prefix + "_" + std::to_string(data_id);
    for (char& c : node)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') c = '_';
    return node;
}

std::string Compact(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    return Json::writeString(builder, value);
}

// A value of the state topic, available while the runner and the device both
// are, expiring `expire_after_s` after it was last renewed (0: never).
Json::Value ValueSensor(const std::string& prefix, std::uint32_t data_id, const std::string& field,
                        int expire_after_s) {
    Json::Value config;
    config["state_topic"] = StateTopic(prefix, data_id);
    config["value_template"] = "{{ value_json." + field + " }}";
    config["state_class"] = "measurement";
    for (const std::string& topic :
         {AvailabilityTopic(prefix), DeviceAvailabilityTopic(prefix, data_id)}) {
        Json::Value availability;
        availability["topic"] = topic;
        availability["payload_available"] = "online";
        availability["payload_not_available"] = "offline";
        config["availability"].append(availability);
    }
    config["availability_mode"] = "all";
    if (expire_after_s > 0) config["expire_after"] = expire_after_s;
    return config;
}

}  // namespace

std::string AvailabilityTopic(const std::string& prefix) { return prefix + "/availability"; }

std::string StateTopic(const std::string& prefix, std::uint32_t data_id) {
    return prefix + "/" + std::to_string(data_id) + "/state";
}

std::string DeviceAvailabilityTopic(const std::string& prefix, std::uint32_t data_id) {
    return prefix + "/" + std::to_string(data_id) + "/availability";
}

std::string AlarmTopic(const std::string& prefix, std::uint32_t data_id) {
    return prefix + "/" + std::to_string(data_id) + "/alarm";
}

std::string AlarmsTopic(const std::string& prefix, std::uint32_t data_id) {
    return prefix + "/" + std::to_string(data_id) + "/alarms";
}

std::string AlarmsPayload(std::uint32_t data_id, const alarm_log::ActiveAlarms& active) {
    std::string json = "{\"data_id\":" + std::to_string(data_id) +
                       ",\"level\":" + std::to_string(active.HighestLevel(data_id)) +
                       ",\"active\":[";
    bool first = true;
    for (const alarm_log::AlarmRecord& a : active.list()) {
        if (a.data_id != data_id) continue;
        json += (first ? "" : ",") + alarm_log::AlarmJson(a);
        first = false;
    }
    return json + "]}";
}

std::string StatePayload(const Battery32_Data_t& record, std::uint64_t round,
                         const std::string& state, const line::PortState& port_state) {
    std::string json = record::JsonLine(record, round, std::nullopt, record::TimeForm::kWithOffset);
    json.pop_back();  // the closing brace: the device's state joins the record's fields
    json += ",\"state\":\"" + state + "\",\"port_state\":" + PortStateJson(port_state) + "}";
    return json;
}

std::string StatePayload(std::uint32_t data_id, const std::string& state,
                         const line::PortState& port_state) {
    return "{\"data_id\":" + std::to_string(data_id) + ",\"state\":\"" + state +
           "\",\"port_state\":" + PortStateJson(port_state) + "}";
}

std::vector<MqttMessage> DiscoveryMessages(const std::string& discovery_prefix,
                                           const std::string& prefix, const DeviceStatus& device,
                                           int expire_after_s) {
    const std::string node = NodeId(prefix, device.data_id);
    Json::Value grouping;
    grouping["identifiers"].append(node);
    grouping["name"] =
        device.name.empty() ? "Battery string " + std::to_string(device.data_id) : device.name;
    grouping["model"] = "battery_32";
    std::vector<MqttMessage> messages;
    // `key` goes in the topic and the unique id, `name` is for people, `field`
    // is where the state JSON holds the value.
    const auto sensor = [&](const std::string& key, const std::string& name,
                            const std::string& field, const char* unit, const char* device_class) {
        Json::Value config = ValueSensor(prefix, device.data_id, field, expire_after_s);
        config["name"] = name;
        config["unique_id"] = node + "_" + key;
        config["unit_of_measurement"] = unit;
        config["device_class"] = device_class;
        config["device"] = grouping;
        messages.push_back(
            {discovery_prefix + "/sensor/" + node + "/" + key + "/config", Compact(config)});
    };
    for (int i = 0; i < kBattery32Cells; ++i) {
        const std::string number = std::to_string(i + 1);
        sensor("cell_" + std::string(i < 9 ? "0" : "") + number, "Cell " + number,
               "cell_voltage[" + std::to_string(i) + "]", "V", "voltage");
    }
    sensor("group_voltage", "Group voltage", "group_voltage", "V", "voltage");
    sensor("group_current", "Current", "group_current", "A", "current");
    sensor("temperature", "Temperature", "temperature", "°C", "temperature");
    const auto from_alarms = [&](const std::string& kind, const std::string& key,
                                 const std::string& name, const std::string& value) {
        Json::Value config;
        config["name"] = name;
        config["unique_id"] = node + "_" + key;
        config["state_topic"] = AlarmsTopic(prefix, device.data_id);
        config["value_template"] = value;
        config["availability_topic"] = AvailabilityTopic(prefix);
        config["payload_available"] = "online";
        config["payload_not_available"] = "offline";
        config["device"] = grouping;
        if (kind == "binary_sensor") {
            config["device_class"] = "problem";
            config["payload_on"] = "ON";
            config["payload_off"] = "OFF";
        }
        messages.push_back(
            {discovery_prefix + "/" + kind + "/" + node + "/" + key + "/config", Compact(config)});
    };
    from_alarms("binary_sensor", "alarm", "Alarm",
                "{{ 'ON' if value_json.active | length > 0 else 'OFF' }}");
    from_alarms("sensor", "alarm_level", "Alarm level", "{{ value_json.level }}");
    return messages;
}

}  // namespace runner::outputs
