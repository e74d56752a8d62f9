#include "tools/runner/mqtt_settings.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "tools/common/command_line.h"

namespace runner {
namespace {

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
    if (!port.empty()) {
        const std::optional<long long> number = command_line::ParseInteger(port, 1, 65535);
        if (!number) return "has port " + port + ", not 1..65535";
        settings->port = static_cast<int>(*number);
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
