#include "tools/common/json_input.h"

#include <json/reader.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace json_input {
namespace {

// jsoncpp reports "* Line 3, Column 5\n  Syntax error: ...\n"; one line reads
// better: "line 3, column 5: Syntax error: ...".
std::string OneLine(const std::string& text) {
    std::string out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string part = text.substr(start, end - start);
        start = end + 1;
        const auto first = part.find_first_not_of(" \t*");
        if (first == std::string::npos) continue;
        part = part.substr(first, part.find_last_not_of(" \t\r") + 1 - first);
        if (out.empty()) {
            if (part.rfind("Line ", 0) == 0) part[0] = 'l';
            const auto column = part.find(", Column ");
            if (column != std::string::npos) part[column + 2] = 'c';
            out = part;
        } else {
            out += (out.find(": ") == std::string::npos ? ": " : " ") + part;
        }
    }
    return out;
}

std::optional<std::int64_t> ParseIntegerText(const std::string& text) {
    if (text.empty()) return std::nullopt;
    std::size_t i = 0;
    bool negative = false;
    if (text[0] == '-' || text[0] == '+') {
        negative = text[0] == '-';
        i = 1;
    }
    int base = 10;
    if (text.size() > i + 2 && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size()) return std::nullopt;
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        if (value > (INT64_MAX - digit) / base) return std::nullopt;
        value = value * base + digit;
    }
    return negative ? -value : value;
}

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
    throw InputError(where + ": " + what);
}

}  // namespace

const char* TypeName(const Json::Value& value) {
    switch (value.type()) {
        case Json::nullValue:
            return "null";
        case Json::intValue:
        case Json::uintValue:
            return "an integer";
        case Json::realValue:
            return "a number";
        case Json::stringValue:
            return "a string";
        case Json::booleanValue:
            return "a boolean";
        case Json::arrayValue:
            return "an array";
        case Json::objectValue:
            return "an object";
    }
    return "something else";
}

Json::Value ParseText(const std::string& text, const std::string& origin) {
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    // The reader recurses once per level and throws past its stack limit;
    // no settings file needs more than a few levels.
    builder.settings_["stackLimit"] = kMaxDepth;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    try {
        if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
            throw InputError(origin + ": not JSON: " + OneLine(errors));
        }
    } catch (const Json::Exception&) {
        throw InputError(origin + ": not JSON: nested deeper than " + std::to_string(kMaxDepth) +
                         " levels");
    }
    return root;
}

Json::Value ParseFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw InputError(path + ": cannot read (" + std::strerror(errno) + ")");
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw InputError(path + ": cannot read (" + std::strerror(errno) + ")");
    return ParseText(text.str(), path);
}

namespace {

std::string ControlsEscaped(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\n') {
            out += "\\n";
        } else if (byte < 0x20 || byte == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

InputError::InputError(const std::string& message) : std::runtime_error(ControlsEscaped(message)) {}

std::string Member(const std::string& where, const char* key) {
    return where.empty() ? std::string(key) : where + "." + key;
}

std::string Element(const std::string& where, unsigned index) {
    return where + "[" + std::to_string(index) + "]";
}

void ExpectObject(const Json::Value& value, const std::string& where) {
    if (!value.isObject()) Fail(where, std::string("must be an object, got ") + TypeName(value));
}

void ExpectArray(const Json::Value& value, const std::string& where) {
    if (!value.isArray()) Fail(where, std::string("must be an array, got ") + TypeName(value));
}

std::optional<std::int64_t> OptionalInteger(const Json::Value& object, const char* key,
                                            const std::string& where, std::int64_t min,
                                            std::int64_t max) {
    const Json::Value& v = object[key];
    if (v.isNull()) return std::nullopt;
    const std::string place = Member(where, key);
    const std::string range = "an integer " + std::to_string(min) + ".." + std::to_string(max);
    std::optional<std::int64_t> n;
    if (v.isInt64()) {
        n = v.asInt64();
    } else if (v.isUInt64()) {
        n = std::nullopt;  // above INT64_MAX: out of every range used here
        Fail(place, "must be " + range + ", got " + v.asString());
    } else if (v.isString()) {
        n = ParseIntegerText(v.asString());
        if (!n) Fail(place, "must be " + range + ", got \"" + v.asString() + "\"");
    } else if (v.isDouble() && std::floor(v.asDouble()) == v.asDouble() &&
               std::fabs(v.asDouble()) < 9e15) {
        n = static_cast<std::int64_t>(v.asDouble());
    } else {
        Fail(place, "must be " + range + ", got " + TypeName(v));
    }
    if (*n < min || *n > max) Fail(place, "must be " + range + ", got " + std::to_string(*n));
    return n;
}

std::int64_t RequireInteger(const Json::Value& object, const char* key, const std::string& where,
                            std::int64_t min, std::int64_t max) {
    auto n = OptionalInteger(object, key, where, min, max);
    if (!n) Fail(Member(where, key), "missing");
    return *n;
}

std::optional<double> OptionalNumber(const Json::Value& object, const char* key,
                                     const std::string& where) {
    const Json::Value& v = object[key];
    if (v.isNull()) return std::nullopt;
    if (!v.isNumeric() || v.isBool()) {
        Fail(Member(where, key), std::string("must be a number, got ") + TypeName(v));
    }
    return v.asDouble();
}

std::optional<bool> OptionalBool(const Json::Value& object, const char* key,
                                 const std::string& where) {
    const Json::Value& v = object[key];
    if (v.isNull()) return std::nullopt;
    if (!v.isBool())
        Fail(Member(where, key), std::string("must be true or false, got ") + TypeName(v));
    return v.asBool();
}

std::optional<std::string> OptionalString(const Json::Value& object, const char* key,
                                          const std::string& where) {
    const Json::Value& v = object[key];
    if (v.isNull()) return std::nullopt;
    if (!v.isString())
        Fail(Member(where, key), std::string("must be a string, got ") + TypeName(v));
    return v.asString();
}

std::string RequireString(const Json::Value& object, const char* key, const std::string& where) {
    auto s = OptionalString(object, key, where);
    if (!s) Fail(Member(where, key), "missing");
    if (s->empty()) Fail(Member(where, key), "must not be empty");
    return *s;
}

}  // namespace json_input
