#include "tools/runner/mqtt_settings.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace runner {
namespace {

bool ParsePort(const std::string& text, int* port) {
    if (text.empty() || text.size() > 5) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    const long value = std::strtol(text.c_str(), nullptr, 10);
    if (value < 1 || value > 65535) return false;
    *port = static_cast<int>(value);
    return true;
}

std::string TrimLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    return line;
}

}  // namespace

std::string ParseMqttUrl(const std::string& url, MqttSettings* settings) {
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        settings->tls = false;
        settings->port = 1883;
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        settings->tls = true;
        settings->port = 8883;
        rest = url.substr(8);
    } else {
        return "must start with mqtt:// or mqtts://";
    }
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
    if (!port.empty() && !ParsePort(port, &settings->port)) {
        return "has port " + port + ", not 1..65535";
    }
    settings->host = host;
    settings->url = url;
    return "";
}

std::string ReadMqttCredentials(const std::string& path, std::string* username,
                                std::string* password) {
    std::ifstream in(path);
    if (!in) return "MQTT credentials " + path + ": cannot read (" + std::strerror(errno) + ")";
    std::string line;
    int number = 0;
    username->clear();
    password->clear();
    while (std::getline(in, line)) {
        ++number;
        line = TrimLineEnd(line);
        if (line.empty() || line[0] == '#') continue;
        const std::size_t eq = line.find('=');
        const std::string key = eq == std::string::npos ? line : line.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : line.substr(eq + 1);
        if (key == "username" && eq != std::string::npos) {
            *username = value;
        } else if (key == "password" && eq != std::string::npos) {
            *password = value;
        } else {
            return "MQTT credentials " + path + ": line " + std::to_string(number) +
                   ": expected username=NAME or password=SECRET";
        }
    }
    if (username->empty()) return "MQTT credentials " + path + ": no username=NAME line";
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

}  // namespace runner

namespace runner {
namespace {

std::string CheckPrefix(const std::string& prefix, const char* option) {
    if (prefix.empty()) return std::string(option) + " needs a topic prefix";
    if (prefix.find_first_of("+#") != std::string::npos || prefix.front() == '/' ||
        prefix.back() == '/') {
        return std::string(option) + " " + prefix +
               ": a topic prefix without + or # and without a leading or trailing /";
    }
    return "";
}

}  // namespace

bool ParseMqttOption(const std::vector<std::string>& args, std::size_t* i, MqttSettings* settings,
                     std::string* error) {
    const std::string& a = args[*i];
    if (a.rfind("--mqtt", 0) != 0) return false;
    if (a == "--mqtt-discovery") {
        settings->discovery = true;
        return true;
    }
    static const char* const kWithValue[] = {
        "--mqtt",        "--mqtt-cafile",           "--mqtt-credentials",
        "--mqtt-prefix", "--mqtt-discovery-prefix", "--mqtt-queue"};
    if (std::find(std::begin(kWithValue), std::end(kWithValue), a) == std::end(kWithValue)) {
        return false;
    }
    if (*i + 1 >= args.size()) {
        *error = a + " needs a value";
        return true;
    }
    const std::string& value = args[++*i];
    if (a == "--mqtt") {
        const std::string fault = ParseMqttUrl(value, settings);
        if (!fault.empty()) *error = "--mqtt " + value + ": " + fault;
    } else if (a == "--mqtt-cafile") {
        settings->cafile = value;
    } else if (a == "--mqtt-credentials") {
        settings->credentials_path = value;
    } else if (a == "--mqtt-prefix") {
        settings->prefix = value;
        *error = CheckPrefix(value, "--mqtt-prefix");
    } else if (a == "--mqtt-discovery-prefix") {
        settings->discovery_prefix = value;
        *error = CheckPrefix(value, "--mqtt-discovery-prefix");
    } else {
        char* end = nullptr;
        errno = 0;
        const unsigned long long n = std::strtoull(value.c_str(), &end, 10);
        if (value.empty() || value[0] == '-' || *end != '\0' || errno != 0 || n < 1 ||
            n > 10000000) {
            *error = "--mqtt-queue needs a number of rounds per device, 1..10000000";
        } else {
            settings->queue_per_device = static_cast<std::size_t>(n);
        }
    }
    return true;
}

std::string CheckMqttSettings(const MqttSettings& s) {
    const bool companions =
        !s.cafile.empty() || !s.credentials_path.empty() || !s.prefix.empty() || s.discovery;
    if (s.url.empty() && companions) return "the --mqtt-... options need --mqtt URL";
    if (!s.cafile.empty() && !s.tls) return "--mqtt-cafile needs an mqtts:// URL";
    return "";
}

std::string MqttUsageText() {
    return "  --mqtt URL         publish every round to a broker: mqtt://host[:1883] or\n"
           "                     mqtts://host[:8883]\n"
           "  --mqtt-cafile FILE CA certificates for mqtts:// (default: the system's)\n"
           "  --mqtt-credentials FILE  lines username=NAME and password=SECRET\n"
           "  --mqtt-prefix P    topic prefix (default battery32/<hostname>)\n"
           "  --mqtt-discovery   also publish home-automation discovery configs\n"
           "  --mqtt-discovery-prefix P  their topic prefix (default homeassistant)\n"
           "  --mqtt-queue N     rounds held per device while the broker is away (default 3600)\n";
}

}  // namespace runner
