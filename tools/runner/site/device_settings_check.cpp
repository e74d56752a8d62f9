#include "tools/runner/site/device_settings_check.h"

#include <cstdlib>

#include "tools/common/json_input.h"

namespace runner::site {
namespace {

using json_input::Member;

// How the device turns a key's text into its value.
enum class Reading { kInteger, kFloat, kText };

struct DeviceKey {
    const char* name;
    Reading reading;
};

// The keys the device reads under "appSetting", with "b_mode".
constexpr DeviceKey kAppKeys[] = {
    {"b_mode", Reading::kInteger},
    {"battery_type", Reading::kFloat},
    {"current_ratio", Reading::kFloat},
    {"group_a", Reading::kFloat},
    {"group_b", Reading::kFloat},
    {"battery_adjust", Reading::kFloat},
    {"version", Reading::kInteger},
    {"dir", Reading::kInteger},
    {"r_data_id", Reading::kInteger},
    {"r_current_field", Reading::kText},
    {"save_interval", Reading::kInteger},
    {"group_index", Reading::kInteger},
    {"amount", Reading::kInteger},
    {"active_batteries", Reading::kInteger},
    {"battery_start", Reading::kInteger},
    {"group_voltage", Reading::kInteger},
    {"t0", Reading::kFloat},
    {"t31", Reading::kFloat},
};

bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Whether atoi (kInteger) or atof (kFloat) finds a number at the start of `text`.
bool StartsWithNumber(const std::string& text, Reading reading) {
    if (reading == Reading::kFloat) {
        char* end = nullptr;
        std::strtod(text.c_str(), &end);
        return end != text.c_str();
    }
    std::size_t i = 0;
    while (i < text.size() && IsCSpace(text[i])) ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    return i < text.size() && text[i] >= '0' && text[i] <= '9';
}

// A scalar the device reads through its text as 0 because no number starts
// it. Arrays and objects are the device's to refuse (it throws on them).
void CheckNumber(const Json::Value& value, Reading reading, const std::string& where,
                 std::vector<std::string>* warnings) {
    if (value.isNull() || value.isArray() || value.isObject()) return;
    const std::string text = value.asString();
    if (StartsWithNumber(text, reading)) return;
    // Quoted in part at most: the warning stays one short line.
    const std::string part = text.size() > 40 ? text.substr(0, 40) + "..." : text;
    const std::string shown = value.isString() ? "\"" + part + "\"" : part;
    warnings->push_back(
        json_input::Escaped(where + ": " + shown + " is no number; the device reads it as 0"));
}

void CheckAppSetting(const Json::Value& app, const std::string& where,
                     std::vector<std::string>* warnings) {
    static const json_input::KnownKeys known = [] {
        json_input::KnownKeys names;
        for (const DeviceKey& key : kAppKeys) names.push_back(key.name);
        return names;
    }();
    json_input::WarnUnknownMembers(app, where, known, warnings);
    for (const DeviceKey& key : kAppKeys) {
        if (key.reading == Reading::kText) continue;
        const Json::Value& value = app[key.name];
        const std::string place = Member(where, key.name);
        if (!value.isArray()) {
            CheckNumber(value, key.reading, place, warnings);
            continue;
        }
        for (Json::ArrayIndex i = 0; i < value.size() && warnings->size() < 1000; ++i)
            CheckNumber(value[i], key.reading, json_input::Element(place, i), warnings);
    }
}

}  // namespace

void CheckDeviceSettings(const Json::Value& settings, const std::string& where,
                         std::vector<std::string>* warnings) {
    if (!settings.isObject()) return;
    json_input::WarnUnknownMembers(settings, where, {"appSetting", "thresholdSetting"}, warnings);
    const Json::Value& app = settings["appSetting"];
    if (app.isObject()) CheckAppSetting(app, Member(where, "appSetting"), warnings);
    const Json::Value& rules = settings["thresholdSetting"];
    if (!rules.isObject()) return;
    const std::string rules_where = Member(where, "thresholdSetting");
    for (const std::string& key : rules.getMemberNames()) {
        // The device's own fields of a rule, then the runner's.
        json_input::WarnUnknownMembers(rules[key], Member(rules_where, key.c_str()),
                                       {"SignalName", "NMAlarmID", "ID", "SignalNumber", "watch",
                                        "above", "below", "level", "clear", "delay_s"},
                                       warnings);
    }
}

}  // namespace runner::site
