#include "tools/runner/outputs/mqtt/mqtt_settings.h"

#include <unistd.h>

#include <cstring>
#include <sstream>

#include "tools/common/command_line.h"
#include "tools/common/input_file.h"

namespace runner::outputs {
namespace {

// Two lines and some comments; anything larger is not a credentials file.
constexpr std::size_t kCredentialsFileLimit = 64 * 1024;

// The length of the UTF-8 sequence at `text`, 0 when it is not one: overlong
// forms, surrogates and code points past U+10FFFF are not. Control
// characters (C0, DEL, C1) count as not one either: topics must not carry them.
std::size_t CharacterLength(const unsigned char* text, std::size_t left) {
    const unsigned char lead = text[0];
    if (lead >= 0x20 && lead < 0x7F) return 1;
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    if (length == 0 || length > left) return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((text[i] & 0xC0) != 0x80) return 0;
    const unsigned second = text[1];
    const bool bad = (lead == 0xC2 && second < 0xA0) ||   // C1 controls
                     (lead == 0xE0 && second < 0xA0) ||   // overlong
                     (lead == 0xED && second >= 0xA0) ||  // surrogates
                     (lead == 0xF0 && second < 0x90) ||   // overlong
                     (lead == 0xF4 && second >= 0x90);    // past U+10FFFF
    return bad ? 0 : length;
}

}  // namespace

std::string TopicPrefixProblem(const std::string& prefix) {
    if (prefix.size() > kMaxTopicPrefixBytes) {
        return "at most " + std::to_string(kMaxTopicPrefixBytes) + " bytes, got " +
               std::to_string(prefix.size());
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(prefix.data());
    for (std::size_t at = 0, step; at < prefix.size(); at += step) {
        step = CharacterLength(bytes + at, prefix.size() - at);
        if (step == 0) return "UTF-8 text without control characters only";
    }
    if (!prefix.empty() && prefix.front() == '$') {
        return "must not start with $ (brokers keep $ topics to themselves: no subscriber "
               "would see the rounds)";
    }
    if (prefix.empty() || prefix.find_first_of("+#") != std::string::npos ||
        prefix.front() == '/' || prefix.back() == '/') {
        return "a topic prefix without + or # and without a leading or trailing /";
    }
    return "";
}

std::string ParseMqttUrl(const std::string& url, MqttSettings* settings) {
    settings->tls = url.rfind("mqtts://", 0) == 0;
    if (!settings->tls && url.rfind("mqtt://", 0) != 0)
        return "must start with mqtt:// or mqtts://";
    settings->port = settings->tls ? 8883 : 1883;
    std::string rest = url.substr(settings->tls ? 8 : 7);
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    if (rest.find_first_of("/@?# ") != std::string::npos) {
        return "takes only host and port (credentials go in --mqtt-credentials)";
    }
    std::string host = rest;
    std::string port;
    if (!rest.empty() && rest[0] == '[') {  // [IPv6]:port
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) return "has an unclosed [";
        host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty() && after[0] != ':') return "has text after ]";
        if (!after.empty()) port = after.substr(1);
        if (after == ":") return "has an empty port";
    } else if (const std::size_t colon = rest.rfind(':'); colon != std::string::npos) {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (port.empty()) return "has an empty port";
    }
    if (host.empty()) return "names no host";
    if (!port.empty()) {
        const std::optional<long long> number = command_line::ParseInteger(port, 1, 65535);
        if (!number) return "has port " + port + ", not 1..65535";
        settings->port = static_cast<int>(*number);
    }
    settings->host = host;
    settings->url = url;
    return "";
}

std::string ReadMqttCredentials(MqttSettings* settings, mode_t* mode) {
    const std::string& path = settings->credentials_path;
    const input_file::Contents file = input_file::Read(path, kCredentialsFileLimit);
    if (!file.error.empty()) return "MQTT credentials " + path + ": " + file.error;
    *mode = file.mode;
    std::istringstream in(file.text);
    std::string line;
    int number = 0;
    settings->username.clear();
    settings->password.clear();
    while (std::getline(in, line)) {
        ++number;
        line.erase(line.find_last_not_of("\r \t") + 1);  // npos + 1 == 0: all blank
        if (line.empty() || line[0] == '#') continue;
        const std::size_t eq = line.find('=');
        const std::string key = line.substr(0, eq);
        std::string* field = key == "username"   ? &settings->username
                             : key == "password" ? &settings->password
                                                 : nullptr;
        if (eq == std::string::npos || field == nullptr) {
            return "MQTT credentials " + path + ": line " + std::to_string(number) +
                   ": expected username=NAME or password=SECRET";
        }
        *field = line.substr(eq + 1);
    }
    if (settings->username.empty()) return "MQTT credentials " + path + ": no username=NAME line";
    return "";
}

std::string DefaultMqttPrefix() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        std::strcpy(name, "localhost");
    std::string host = name;
    for (char& c : host)
        if (c == '/' || c == '+' || c == '#' || c == ' ') c = '_';
    return "battery32/" + host;
}

}  // namespace runner::outputs
