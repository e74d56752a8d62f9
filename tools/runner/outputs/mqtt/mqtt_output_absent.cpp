// Publishing in a build without libmosquitto (the 32-bit MIPS cross build).
#include "tools/runner/outputs/mqtt/mqtt_output.h"

namespace runner::outputs {

const char* MqttOutput::Absent() {
    return "this build has no MQTT (libmosquitto was not found when it was configured)";
}

// Never called: a run that asks for --mqtt is refused in this build.
std::unique_ptr<MqttOutput> MqttOutput::Start(const MqttSettings&, const console::Console&) {
    return nullptr;
}

}  // namespace runner::outputs
