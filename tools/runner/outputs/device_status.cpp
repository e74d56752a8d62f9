#include "tools/runner/outputs/device_status.h"

#include <json/writer.h>

namespace runner::outputs {

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
