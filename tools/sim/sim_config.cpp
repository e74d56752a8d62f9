#include "tools/sim/sim_config.h"

#include <cmath>
#include <map>
#include <optional>
#include <set>

#include "tools/common/json_input.h"
#include "tools/module/module_wire.h"

namespace sim {
namespace {

using json_input::ExpectArray;
using json_input::ExpectObject;
using json_input::InputError;
using json_input::Member;
using json_input::OptionalBool;
using json_input::OptionalInteger;
using json_input::OptionalNumber;
using json_input::OptionalString;
using std::chrono::milliseconds;

// object[key] as an integer min..max, `fallback` when absent.
template <typename Integer>
Integer IntegerOr(const Json::Value& object, const char* key, const std::string& where,
                  std::int64_t min, std::int64_t max, Integer fallback) {
    return static_cast<Integer>(OptionalInteger(object, key, where, min, max).value_or(fallback));
}

milliseconds MillisecondsOr(const Json::Value& object, const char* key, const std::string& where,
                            int fallback) {
    return milliseconds(IntegerOr(object, key, where, 0, 60000, fallback));
}

std::uint8_t CommandCode(const std::string& text, const std::string& where) {
    if (text == "any") return 0;
    if (text == "A1" || text == "a1") return module::kCmdCells;
    if (text == "A2" || text == "a2") return module::kCmdGroupVoltage;
    if (text == "A3" || text == "a3") return module::kCmdCurrent;
    if (text == "A4" || text == "a4") return module::kCmdTemperature;
    throw InputError(where + ": must be \"A1\", \"A2\", \"A3\", \"A4\" or \"any\", got \"" + text +
                     "\"");
}

using Warnings = std::vector<std::string>;

module::CellProfile ReadCells(const Json::Value& v, const std::string& where, Warnings* warnings) {
    ExpectObject(v, where);
    json_input::WarnUnknownMembers(
        v, where, {"profile", "volts", "to", "weak_cell", "weak_volts", "noise", "cells_in_use"},
        warnings);
    module::CellProfile p;
    const std::string profile = OptionalString(v, "profile", where).value_or("flat");
    if (profile != "flat" && profile != "ramp") {
        throw InputError(Member(where, "profile") + ": must be \"flat\" or \"ramp\", got \"" +
                         profile + "\"");
    }
    p.volts = OptionalNumber(v, "volts", where).value_or(13.5);
    const double to = OptionalNumber(v, "to", where).value_or(p.volts);
    p.ramp_to = profile == "ramp" ? to : p.volts;  // a flat profile ignores "to"
    p.weak_cell = IntegerOr(v, "weak_cell", where, 0, 32, 0);
    p.weak_volts = OptionalNumber(v, "weak_volts", where).value_or(0.0);
    p.noise = OptionalNumber(v, "noise", where).value_or(0.0);
    p.cells_in_use = IntegerOr(v, "cells_in_use", where, 0, 32, 32);
    if (p.noise < 0) throw InputError(Member(where, "noise") + ": must not be negative");
    return p;
}

module::FaultRule ReadFault(const Json::Value& v, const std::string& where, Warnings* warnings) {
    static const std::map<std::string, module::FaultKind> kKinds = {
        {"silence", module::FaultKind::kSilence},
        {"garbage", module::FaultKind::kGarbage},
        {"bad-checksum", module::FaultKind::kBadChecksum},
        {"wrong-address", module::FaultKind::kWrongAddress},
        {"split", module::FaultKind::kSplit},
        {"delay", module::FaultKind::kDelay}};
    ExpectObject(v, where);
    json_input::WarnUnknownMembers(
        v, where,
        {"kind", "command", "first", "every", "times", "probability", "garbage_bytes", "split_at",
         "pause_ms", "delay_ms", "other_address"},
        warnings);
    module::FaultRule rule;
    const auto kind_text = OptionalString(v, "kind", where);
    if (!kind_text) throw InputError(Member(where, "kind") + ": missing");
    const auto kind = kKinds.find(*kind_text);
    if (kind == kKinds.end()) {
        throw InputError(Member(where, "kind") +
                         ": must be one of silence, garbage, bad-checksum, wrong-address, split, "
                         "delay; got \"" +
                         *kind_text + "\"");
    }
    rule.kind = kind->second;
    if (auto c = OptionalString(v, "command", where))
        rule.command = CommandCode(*c, Member(where, "command"));
    rule.first = IntegerOr<std::uint64_t>(v, "first", where, 1, INT64_MAX, 1);
    rule.every = IntegerOr<std::uint64_t>(v, "every", where, 1, INT64_MAX, 1);
    rule.times = IntegerOr<std::uint64_t>(v, "times", where, 0, INT64_MAX, 1);
    rule.probability = OptionalNumber(v, "probability", where).value_or(1.0);
    if (rule.probability < 0.0 || rule.probability > 1.0) {
        throw InputError(Member(where, "probability") + ": must be between 0 and 1");
    }
    rule.garbage_bytes = IntegerOr<std::size_t>(v, "garbage_bytes", where, 0, 64, 4);
    rule.split_at = IntegerOr<std::size_t>(v, "split_at", where, 0, 66, 0);
    rule.pause = MillisecondsOr(v, "pause_ms", where, 20);
    rule.delay = MillisecondsOr(v, "delay_ms", where, 200);
    if (auto a = OptionalInteger(v, "other_address", where, 0, 255)) {
        rule.other_address = static_cast<std::uint8_t>(*a);
    }
    return rule;
}

milliseconds SecondsAsMilliseconds(const Json::Value& object, const char* key,
                                   const std::string& where, double fallback) {
    const double seconds = OptionalNumber(object, key, where).value_or(fallback);
    if (!(seconds >= 0 && seconds <= 1e7))
        throw InputError(Member(where, key) + ": must be 0..10000000 seconds");
    return milliseconds(std::llround(seconds * 1000));
}

module::ReadingChange ReadChange(const Json::Value& v, const std::string& where,
                                 Warnings* warnings) {
    ExpectObject(v, where);
    json_input::WarnUnknownMembers(
        v, where,
        {"from_s", "to_s", "silent", "cell", "volts", "group_voltage", "current", "temperature"},
        warnings);
    module::ReadingChange c;
    c.from = SecondsAsMilliseconds(v, "from_s", where, 0);
    c.to = SecondsAsMilliseconds(v, "to_s", where, 1e7);
    if (c.to <= c.from) throw InputError(Member(where, "to_s") + ": must come after from_s");
    c.silent = OptionalBool(v, "silent", where).value_or(false);
    c.cell = IntegerOr(v, "cell", where, 1, 32, 0);
    const auto volts = OptionalNumber(v, "volts", where);
    if ((c.cell != 0) != volts.has_value())
        throw InputError(where + ": \"cell\" and \"volts\" go together");
    c.cell_volts = volts.value_or(0.0);
    c.group_voltage = OptionalNumber(v, "group_voltage", where);
    c.current = OptionalNumber(v, "current", where);
    c.temperature = OptionalNumber(v, "temperature", where);
    if (!c.silent && c.cell == 0 && !c.group_voltage && !c.current && !c.temperature) {
        throw InputError(where +
                         ": changes nothing (silent, cell and volts, group_voltage, current or "
                         "temperature)");
    }
    return c;
}

void ReadChanges(const Json::Value& v, const std::string& where, module::ModuleConfig& m,
                 Warnings* warnings) {
    if (!v.isMember("changes")) return;
    const std::string cw = Member(where, "changes");
    ExpectArray(v["changes"], cw);
    for (Json::ArrayIndex i = 0; i < v["changes"].size(); ++i)
        m.changes.push_back(ReadChange(v["changes"][i], json_input::Element(cw, i), warnings));
    m.repeat = SecondsAsMilliseconds(v, "repeat_s", where, 0);
    for (const module::ReadingChange& c : m.changes) {
        if (m.repeat.count() > 0 && c.to > m.repeat)
            throw InputError(Member(where, "repeat_s") + ": must not end a change early (to_s)");
    }
}

module::ModuleConfig ReadModule(const Json::Value& v, const std::string& where,
                                Warnings* warnings) {
    ExpectObject(v, where);
    json_input::WarnUnknownMembers(
        v, where,
        {"address", "battery_type", "cells", "group_voltage", "version", "current",
         "current_sensor", "temperature", "reply_delay_ms", "faults", "changes", "repeat_s"},
        warnings);
    module::ModuleConfig m;
    m.address = static_cast<std::uint8_t>(json_input::RequireInteger(v, "address", where, 0, 255));
    m.battery_type = IntegerOr(v, "battery_type", where, 0, 255, 0);
    if (v.isMember("cells"))
        m.cells = ReadCells(v["cells"], Member(where, "cells"), warnings);
    else
        m.cells = module::CellProfile::Flat(m.battery_type == 6 ? 6.75 : 13.5);
    m.group_voltage = OptionalNumber(v, "group_voltage", where);
    m.version = IntegerOr(v, "version", where, 0, 255, 1);
    m.current = OptionalNumber(v, "current", where).value_or(0.0);
    m.current_sensor = OptionalBool(v, "current_sensor", where).value_or(false);
    m.temperature = OptionalNumber(v, "temperature", where).value_or(25.0);
    m.reply_delay = MillisecondsOr(v, "reply_delay_ms", where, 0);
    if (v.isMember("faults")) {
        const std::string fw = Member(where, "faults");
        ExpectArray(v["faults"], fw);
        for (Json::ArrayIndex i = 0; i < v["faults"].size(); ++i) {
            m.faults.push_back(ReadFault(v["faults"][i], json_input::Element(fw, i), warnings));
        }
    }
    ReadChanges(v, where, m, warnings);
    return m;
}

}  // namespace

SimConfig ReadSimConfigFile(const std::string& path) {
    const Json::Value root = json_input::ParseFile(path);
    ExpectObject(root, path);
    SimConfig config;
    json_input::WarnUnknownMembers(root, "", {"seed", "echo", "modules"}, &config.warnings);
    for (std::string& warning : config.warnings) warning = path + ": " + warning;
    config.seed = IntegerOr<std::uint64_t>(root, "seed", path, 0, INT64_MAX, 1);
    config.echo.on = OptionalBool(root, "echo", path).value_or(false);
    const Json::Value& modules = root["modules"];
    const std::string where = path + ": modules";
    if (modules.isNull()) throw InputError(where + ": missing");
    ExpectArray(modules, where);
    std::set<int> seen;
    for (Json::ArrayIndex i = 0; i < modules.size(); ++i) {
        const std::string place = json_input::Element(where, i);
        module::ModuleConfig m = ReadModule(modules[i], place, &config.warnings);
        if (!seen.insert(m.address).second) {
            throw InputError(place + ".address: " + std::to_string(m.address) +
                             " is used by an earlier module");
        }
        config.modules.push_back(std::move(m));
    }
    return config;
}

}  // namespace sim
