#include "tools/runner/outputs/mqtt/mqtt_messages.h"

#include <json/value.h>
#include <json/writer.h>

#include <cctype>

#include "tools/common/version.h"
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

// The discovery configs of one device: each names the device it belongs to.
// Values go unavailable with the runner or the device and expire
// `expire_after_s` after they were last renewed (0: never); alarms go
// unavailable with the runner only (a silent device's lost-communication
// alarm must show).
class Discovery {
public:
    Discovery(const std::string& discovery_prefix, const std::string& prefix,
              const DeviceStatus& device, int expire_after_s)
        : discovery_prefix_(discovery_prefix),
          prefix_(prefix),
          data_id_(device.data_id),
          expire_after_s_(expire_after_s),
          node_(NodeId(prefix, device.data_id)) {
        grouping_["identifiers"].append(node_);
        grouping_["name"] =
            device.name.empty() ? "Battery string " + std::to_string(data_id_) : device.name;
        grouping_["model"] = "battery_32";
        grouping_["sw_version"] = version::Text();
    }
    // A config that goes unavailable with the runner alone (the alarms').
    Json::Value Config(const std::string& key, const std::string& name, const std::string& topic,
                       const std::string& value_template) const {
        Json::Value config = Common(key, name, topic, value_template);
        config["availability_topic"] = AvailabilityTopic(prefix_);
        config["payload_available"] = "online";
        config["payload_not_available"] = "offline";
        return config;
    }
    // A reading of the state message at `field`. Readings are measurements;
    // the energy counters only grow (a reset reads as a new meter), which is
    // what an energy dashboard takes.
    void Sensor(const std::string& key, const std::string& name, const std::string& field,
                const char* unit, const char* device_class,
                const char* state_class = "measurement") {
        Json::Value config =
            Common(key, name, StateTopic(prefix_, data_id_), "{{ value_json." + field + " }}");
        for (const std::string& topic :
             {AvailabilityTopic(prefix_), DeviceAvailabilityTopic(prefix_, data_id_)}) {
            Json::Value availability;
            availability["topic"] = topic;
            availability["payload_available"] = "online";
            availability["payload_not_available"] = "offline";
            config["availability"].append(availability);
        }
        config["availability_mode"] = "all";
        if (expire_after_s_ > 0) config["expire_after"] = expire_after_s_;
        config["unit_of_measurement"] = unit;
        if (device_class != nullptr) config["device_class"] = device_class;
        config["state_class"] = state_class;
        Add("sensor", key, config);
    }
    void Add(const std::string& kind, const std::string& key, const Json::Value& config) {
        messages_.push_back({discovery_prefix_ + "/" + kind + "/" + node_ + "/" + key + "/config",
                             Compact(config)});
    }
    std::vector<MqttMessage> messages() { return std::move(messages_); }

private:
    // `key` goes in the topic and the unique id, `name` is for people; the
    // value comes from `topic` through `value_template`.
    Json::Value Common(const std::string& key, const std::string& name, const std::string& topic,
                       const std::string& value_template) const {
        Json::Value config;
        config["name"] = name;
        config["unique_id"] = node_ + "_" + key;
        config["state_topic"] = topic;
        config["value_template"] = value_template;
        config["device"] = grouping_;
        return config;
    }

    const std::string& discovery_prefix_;
    const std::string& prefix_;
    std::uint32_t data_id_;
    int expire_after_s_;
    std::string node_;
    Json::Value grouping_;
    std::vector<MqttMessage> messages_;
};

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
                         const energy::EnergyCounters& energy, const std::string& state,
                         const line::PortState& port_state) {
    std::string json =
        RoundJson(record, round, std::nullopt, energy, record::TimeForm::kWithOffset);
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
    Discovery d(discovery_prefix, prefix, device, expire_after_s);
    for (int i = 0; i < kBattery32Cells; ++i) {
        const std::string number = std::to_string(i + 1);
        d.Sensor("cell_" + std::string(i < 9 ? "0" : "") + number, "Cell " + number,
                 "cell_voltage[" + std::to_string(i) + "]", "V", "voltage");
    }
    d.Sensor("group_voltage", "Group voltage", "group_voltage", "V", "voltage");
    d.Sensor("group_current", "Current", "group_current", "A", "current");
    d.Sensor("temperature", "Temperature", "temperature", "°C", "temperature");
    for (const std::string way : {"charged", "discharged"}) {
        const std::string title = way == "charged" ? "Charged" : "Discharged";
        d.Sensor(way + "_kwh", "Energy " + way, "energy." + way + "_kwh", "kWh", "energy",
                 "total_increasing");
        d.Sensor(way + "_ah", title + " ampere-hours", "energy." + way + "_ah", "Ah", nullptr,
                 "total_increasing");
    }
    Json::Value problem = d.Config("alarm", "Alarm", AlarmsTopic(prefix, device.data_id),
                                   "{{ 'ON' if value_json.active | length > 0 else 'OFF' }}");
    problem["device_class"] = "problem";
    problem["payload_on"] = "ON";
    problem["payload_off"] = "OFF";
    d.Add("binary_sensor", "alarm", problem);
    d.Add("sensor", "alarm_level",
          d.Config("alarm_level", "Alarm level", AlarmsTopic(prefix, device.data_id),
                   "{{ value_json.level }}"));
    return d.messages();
}

std::vector<std::string> DiscoveryTopics(const std::string& discovery_prefix,
                                         const std::string& prefix, std::uint32_t data_id) {
    DeviceStatus device;  // the topics name the device by its data id alone
    device.data_id = data_id;
    std::vector<std::string> topics;
    for (const MqttMessage& m : DiscoveryMessages(discovery_prefix, prefix, device, 0))
        topics.push_back(m.topic);
    return topics;
}

}  // namespace runner::outputs
