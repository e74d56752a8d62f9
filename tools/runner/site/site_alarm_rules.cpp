#include "tools/runner/site/site_alarm_rules.h"

#include <cmath>
#include <optional>

#include "tools/common/json_input.h"
#include "tools/record/record_format.h"
#include "tools/runner/alarms/watched_variable.h"

namespace runner::site {
namespace {

using json_input::InputError;
using json_input::Member;

constexpr const char* kHostFields[] = {"watch", "above", "below", "level", "clear", "delay_s"};
constexpr double kLongestDelay = 86400;

// object[key] as a finite single-precision number, if present.
std::optional<float> FiniteNumber(const Json::Value& object, const char* key,
                                  const std::string& where) {
    const std::optional<double> n = json_input::OptionalNumber(object, key, where);
    if (!n) return std::nullopt;
    const float value = static_cast<float>(*n);
    if (!std::isfinite(value)) throw InputError(Member(where, key) + ": must be a finite number");
    return value;
}

int WatchOf(const Json::Value& rule, const std::string& where) {
    const std::string watch = json_input::RequireString(rule, "watch", where);
    const int variable = alarms::WatchedBy(watch);
    if (variable == alarms::kNoVariable) {
        throw InputError(Member(where, "watch") +
                         ": must be group_voltage, group_current, temperature, "
                         "battery_<0..31>_value or battery_*_value, got \"" +
                         watch + "\"");
    }
    return variable;
}

// The limit and its side, and the clear value on the other side of it.
void ReadLimits(const Json::Value& rule, const std::string& where, alarms::AlarmRule& r) {
    const std::optional<float> above = FiniteNumber(rule, "above", where);
    const std::optional<float> below = FiniteNumber(rule, "below", where);
    if (above && below) throw InputError(where + ": give \"above\" or \"below\", not both");
    if (!above && !below) throw InputError(where + ": needs a limit, \"above\" or \"below\"");
    r.above = above.has_value();
    r.limit = above ? *above : *below;
    r.clear = FiniteNumber(rule, "clear", where).value_or(r.limit);
    if (r.above ? r.clear > r.limit : r.clear < r.limit) {
        throw InputError(Member(where, "clear") + ": " + record::FormatFloat(r.clear) + " is " +
                         (r.above ? "above" : "below") + " the limit " +
                         record::FormatFloat(r.limit) + "; it must lie on the normal side");
    }
}

// "NMAlarmID;ID;SignalNumber;", composed as the device composes it.
std::string AlarmCode(const Json::Value& rule, const std::string& where) {
    std::string code;
    for (const char* field : {"NMAlarmID", "ID", "SignalNumber"}) {
        const Json::Value& part = rule[field];
        if (part.isArray() || part.isObject()) {
            throw InputError(Member(where, field) + ": must be a text or a number, got " +
                             json_input::TypeName(part));
        }
        if (!part.isNull()) code += part.asString();
        code += ';';
    }
    return code;
}

bool HasHostFields(const Json::Value& rule) {
    for (const char* field : kHostFields)
        if (!rule[field].isNull()) return true;
    return false;
}

alarms::AlarmRule ReadRule(const std::string& key, const Json::Value& rule,
                           const std::string& where) {
    alarms::AlarmRule r;
    r.key = key;
    r.variable = WatchOf(rule, where);
    ReadLimits(rule, where, r);
    r.level = static_cast<int>(json_input::RequireInteger(rule, "level", where, 1, 3));
    const double delay = json_input::OptionalNumber(rule, "delay_s", where).value_or(0.0);
    if (!(delay >= 0 && delay <= kLongestDelay)) {
        throw InputError(Member(where, "delay_s") + ": must be 0..86400 seconds");
    }
    r.delay = std::chrono::milliseconds(std::lround(delay * 1000));
    r.code = AlarmCode(rule, where);
    return r;
}

}  // namespace

std::vector<alarms::AlarmRule> ReadAlarmRules(const Json::Value& rules, const std::string& where) {
    std::vector<alarms::AlarmRule> read;
    if (!rules.isObject()) return read;
    for (auto it = rules.begin(); it != rules.end(); ++it) {
        const std::string key = it.name();
        if (!it->isObject() || !HasHostFields(*it)) continue;
        read.push_back(ReadRule(key, *it, Member(where, key.c_str())));
    }
    return read;
}

}  // namespace runner::site
