#include "tools/runner/outputs/mqtt/mqtt_output.h"

#include "tools/runner/outputs/mqtt/mqtt_publisher.h"

namespace runner::outputs {

const char* MqttOutput::Absent() { return nullptr; }

std::unique_ptr<MqttOutput> MqttOutput::Start(const MqttSettings& settings,
                                              const console::Console& console) {
    console.Note(
        "publishing every round to " + settings.url + " under " + settings.prefix + "/" +
        (settings.discovery ? ", with discovery under " + settings.discovery_prefix + "/" : ""));
    return std::make_unique<MqttPublisher>(settings, console);
}

}  // namespace runner::outputs
