#include "tools/runner/mqtt_hookup.h"

#ifdef BATTERY32_HAVE_MQTT
#include <sys/stat.h>

#include "tools/runner/mqtt_publisher.h"
#else
namespace runner {
class MqttPublisher {};
}  // namespace runner
#endif

namespace runner {

MqttHookup::MqttHookup() = default;
MqttHookup::~MqttHookup() = default;

#ifdef BATTERY32_HAVE_MQTT

const char* MqttHookup::Absent() { return nullptr; }

std::string MqttHookup::Prepare(const RunOptions& options, const Console& console) {
    if (options.mqtt.url.empty()) return "";
    MqttSettings settings = options.mqtt;
    if (settings.prefix.empty()) settings.prefix = DefaultMqttPrefix();
    if (!settings.credentials_path.empty()) {
        const std::string error = ReadMqttCredentials(&settings);
        if (!error.empty()) return error;
        struct stat st {};
        if (::stat(settings.credentials_path.c_str(), &st) == 0 && (st.st_mode & 0077) != 0) {
            console.Problem("MQTT credentials " + settings.credentials_path +
                            " can be read by other users (chmod 600 it)");
        }
    }
    publisher_ = std::make_unique<MqttPublisher>(settings, console);
    console.Note(
        "publishing every round to " + settings.url + " under " + settings.prefix + "/" +
        (settings.discovery ? ", with discovery under " + settings.discovery_prefix + "/" : ""));
    return "";
}

void MqttHookup::Attach(Runner& runner) {
    if (!publisher_) return;
    publisher_->SetDeviceList([&runner] { return runner.Statuses(); });
    runner.AddOutput(*publisher_);
    runner.AddParticipant(*publisher_);
}

void MqttHookup::Finish() {
    if (publisher_) publisher_->Finish(std::chrono::seconds(3));
    publisher_.reset();
}

#else  // built without libmosquitto

const char* MqttHookup::Absent() {
    return "this build has no MQTT (libmosquitto was not found when it was configured)";
}

std::string MqttHookup::Prepare(const RunOptions& options, const Console&) {
    if (options.mqtt.url.empty()) return "";
    return std::string("--mqtt: ") + Absent();
}

void MqttHookup::Attach(Runner&) {}
void MqttHookup::Finish() {}

#endif

}  // namespace runner
