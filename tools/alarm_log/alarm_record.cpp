#include "tools/alarm_log/alarm_record.h"

#include <json/reader.h>
#include <json/value.h>

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>

#include "tools/common/time_text.h"
#include "tools/record/record_format.h"

namespace alarm_log {
namespace {

constexpr AlarmKind kKinds[] = {AlarmKind::kRaised, AlarmKind::kCleared, AlarmKind::kActive};

std::string Number(float value) {
    return std::isfinite(value) ? record::FormatFloat(value) : std::string("null");
}

// A JSON string of `text`, which stays UTF-8: only quotes, backslashes and
// control characters are escaped.
std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string TimeText(std::int64_t epoch) {
    return time_text::LocalTime(std::chrono::system_clock::from_time_t(static_cast<time_t>(epoch)));
}

// The fields as the JSON writes them, keys in order; strings unquoted.
struct Field {
    const char* key;
    std::string text;
    bool quoted;
};

std::vector<Field> Fields(const AlarmRecord& a) {
    return {{"alarm", KindName(a.kind), true},
            {"data_id", std::to_string(a.data_id), false},
            {"rule", a.rule, true},
            {"variable", a.variable, true},
            {"name", a.name, true},
            {"value", Number(a.value), false},
            {"side", a.above ? "above" : "below", true},
            {"limit", Number(a.limit), false},
            {"clear", Number(a.clear), false},
            {"level", std::to_string(a.level), false},
            {"code", a.code, true},
            {"time", TimeText(a.epoch), true},
            {"epoch", std::to_string(a.epoch), false}};
}

float FloatOf(const Json::Value& v) {
    return v.isNumeric() ? static_cast<float>(v.asDouble()) : std::nanf("");
}

}  // namespace

const char* KindName(AlarmKind kind) {
    switch (kind) {
        case AlarmKind::kCleared:
            return "cleared";
        case AlarmKind::kActive:
            return "active";
        case AlarmKind::kRaised:
            break;
    }
    return "raised";
}

std::string LevelName(int level) {
    switch (level) {
        case 1:
            return "warning";
        case 2:
            return "major";
        case 3:
            return "critical";
        default:
            return "level " + std::to_string(level);
    }
}

std::string AlarmJson(const AlarmRecord& alarm) {
    std::string out = "{";
    for (const Field& f : Fields(alarm)) {
        if (out.size() > 1) out += ',';
        out += Quoted(f.key) + ":" + (f.quoted ? Quoted(f.text) : f.text);
    }
    return out + "}";
}

std::optional<AlarmRecord> ParseAlarmJson(std::string_view line) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value v;
    if (!reader->parse(line.data(), line.data() + line.size(), &v, nullptr) || !v.isObject())
        return std::nullopt;
    if (!v["alarm"].isString() || !v["data_id"].isUInt() || !v["rule"].isString() ||
        !v["variable"].isString() || !v["epoch"].isInt64())
        return std::nullopt;
    AlarmRecord a;
    bool known = false;
    for (const AlarmKind kind : kKinds) {
        if (v["alarm"].asString() == KindName(kind)) {
            a.kind = kind;
            known = true;
        }
    }
    if (!known) return std::nullopt;
    a.data_id = v["data_id"].asUInt();
    a.rule = v["rule"].asString();
    a.variable = v["variable"].asString();
    a.name = v["name"].asString();
    a.value = FloatOf(v["value"]);
    a.above = v["side"].asString() == "above";
    a.limit = FloatOf(v["limit"]);
    a.clear = FloatOf(v["clear"]);
    a.level = v["level"].isInt() ? v["level"].asInt() : 0;
    a.code = v["code"].asString();
    a.epoch = v["epoch"].asInt64();
    return a;
}

std::string AlarmText(const AlarmRecord& a, bool with_time) {
    const std::string value =
        std::isfinite(a.value) ? record::FormatFloat(a.value) : std::string("no value");
    const std::string side = std::string(a.above ? "above " : "below ") + Number(a.limit);
    std::string text = "[" + std::to_string(a.data_id) + "] " +
                       (with_time ? TimeText(a.epoch) + " " : std::string()) + "alarm " +
                       KindName(a.kind) + ": " + (a.name.empty() ? "" : a.name + " ") + "(" +
                       a.variable + ") " + value;
    if (a.kind == AlarmKind::kCleared) {
        text += ", clears at " + Number(a.clear) + " (raised " + side + ")";
    } else {
        text += " " + side;
    }
    text += ", level " + std::to_string(a.level) + " " + LevelName(a.level);
    if (!a.code.empty()) text += ", code " + a.code;
    return text + " (rule " + a.rule + ")";
}

std::vector<std::string> AlarmEnvironment(const AlarmRecord& alarm) {
    std::vector<std::string> environment;
    for (const Field& f : Fields(alarm)) {
        std::string key = f.key;
        for (char& c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        environment.push_back("BATTERY32_ALARM_" + key + "=" +
                              (!f.quoted && f.text == "null" ? "" : f.text));
    }
    return environment;
}

}  // namespace alarm_log
