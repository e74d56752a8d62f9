#include "tools/runner/outputs/device_status.h"

#include <json/writer.h>

namespace runner::outputs {

const char* StateName(const DeviceStatus& s) {
    if (s.port_lost) return "port lost";
    if (s.state == line::LinkState::kSilent) return "silent";
    if (s.stale) return "stale";
    return line::LinkStateName(s.state);
}

bool Available(const DeviceStatus& s) {
    return !s.port_lost && !s.stale && s.state != line::LinkState::kSilent;
}

std::string PortStateJson(const line::PortState& s) {
    const auto flag = [](bool on) { return on ? "true" : "false"; };
    std::string out = "{\"node\":" + Json::valueToQuotedString(s.node.c_str());
    out += ",\"reopens\":" + std::to_string(s.reopens);
    out += std::string(",\"echo\":") + flag(s.echo);
    out += ",\"garbled_echoes\":" + std::to_string(s.garbled_echoes);
    out += std::string(",\"rs485\":") + (s.rs485 ? flag(*s.rs485) : "null");
    return out + "}";
}

}  // namespace runner::outputs
