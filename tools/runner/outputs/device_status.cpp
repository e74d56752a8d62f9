#include "tools/runner/outputs/device_status.h"

#include <json/writer.h>

#include "tools/record/record_format.h"

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

std::string RoundJson(const Battery32_Data_t& record, std::uint64_t round,
                      std::optional<std::uint64_t> threshold_checks,
                      const energy::EnergyCounters& energy, record::TimeForm time_form) {
    std::string json = record::JsonLine(record, round, threshold_checks, time_form);
    json.pop_back();  // the closing brace: the energy counters join the record's fields
    return json + ",\"energy\":" + energy::EnergyJson(energy) + "}";
}

}  // namespace runner::outputs
