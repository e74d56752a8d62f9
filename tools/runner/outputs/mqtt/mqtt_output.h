#pragma once
// Publishing every round to an MQTT broker (--mqtt; see README, "Publishing to
// an MQTT broker"). Built where libmosquitto is found; elsewhere Start() says
// why there is none.

#include <memory>
#include <string>

#include "tools/common/console/console.h"
#include "tools/runner/outputs/mqtt/mqtt_settings.h"
#include "tools/runner/outputs/output.h"

namespace runner::outputs {

class MqttOutput : public Output, public loop::Participant {
public:
    // Null in a build that can publish; else why it cannot (and a run that
    // asks for --mqtt is refused).
    static const char* Absent();
    // The publisher, its first connection under way; says where it publishes.
    // `settings` must be complete: prefix set, credentials read.
    static std::unique_ptr<MqttOutput> Start(const MqttSettings& settings,
                                             const console::Console& console);

    loop::Participant* participant() override { return this; }
};

}  // namespace runner::outputs
