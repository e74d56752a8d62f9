#pragma once
// What --mqtt and its companion options say: where the broker is, how to log
// in, where the topics go and how much to hold while the broker is away.
// Parsed without libmosquitto, so every build understands the options.

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace runner::outputs {

struct MqttSettings {
    std::string url;  // as given; empty: no publishing
    std::string host;
    int port = 0;
    bool tls = false;                // mqtts://
    std::string cafile;              // --mqtt-cafile; empty with TLS: the system's CAs
    std::string credentials_path;    // --mqtt-credentials
    std::string username, password;  // read from it; empty username: no login
    std::string prefix;              // --mqtt-prefix; empty: battery32/<hostname>
    bool discovery = false;
    std::string discovery_prefix = "homeassistant";
    // Rounds held per device while the broker is away or has not acknowledged
    // them: one hour of one device polled every second.
    std::size_t queue_per_device = 3600;
    // Discovery's expiry of a value not renewed, in seconds; 0: none.
    int expire_after_s = 0;
};

// Fills host, port and tls from "mqtt://host[:port]" or "mqtts://host[:port]"
// (IPv6 literals in brackets). Returns "" or what is wrong, in a few words.
std::string ParseMqttUrl(const std::string& url, MqttSettings* settings);

// Reads username and password from the credentials file: lines "username=NAME"
// and "password=SECRET"; blank lines and lines starting with '#' are skipped.
// Only a regular file of at most 64 KiB is read (input_file.h). Returns "" or
// one line naming the file and the fault; on success `mode` holds the file's
// permission bits.
std::string ReadMqttCredentials(MqttSettings* settings, mode_t* mode);

// A topic prefix longer than this is refused: the topics under it must stay
// well within what brokers and subscribers take.
inline constexpr std::size_t kMaxTopicPrefixBytes = 256;

// "" for a prefix topics can go under and every subscriber sees; else what is
// wrong with it, in a few words: a pattern (+ #), an empty level at either end,
// a leading $ (brokers reserve those topics), control characters, text that
// is not UTF-8, or more than kMaxTopicPrefixBytes.
std::string TopicPrefixProblem(const std::string& prefix);

// "battery32/<hostname>" with characters MQTT topics reserve replaced by '_'.
std::string DefaultMqttPrefix();

}  // namespace runner::outputs
