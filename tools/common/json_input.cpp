#include "tools/common/json_input.h"

#include <json/reader.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <memory>
#include <sstream>

#include "tools/common/input_file.h"

namespace json_input {
namespace {

// Arrays and objects nest at most this deep in an input file.
constexpr int kMaxDepth = 64;

// jsoncpp reports "* Line 3, Column 5\n  Syntax error: ...\n"; one line reads
// better: "line 3, column 5: Syntax error: ...".
std::string OneLine(const std::string& text) {
    std::istringstream lines(text);
    std::string out, part;
    while (std::getline(lines, part)) {
        const auto first = part.find_first_not_of(" \t*");
        if (first == std::string::npos) continue;
        part = part.substr(first, part.find_last_not_of(" \t\r") + 1 - first);
        if (!out.empty()) {
            out += (out.find(": ") == std::string::npos ? ": " : " ") + part;
            continue;
        }
        if (part.rfind("Line ", 0) == 0) part[0] = 'l';
        if (const auto column = part.find(", Column "); column != std::string::npos)
            part[column + 2] = 'c';
        out = part;
    }
    return out;
}

// Decimal or 0x-prefixed hexadecimal, with an optional sign.
std::optional<std::int64_t> ParseIntegerText(const std::string& text) {
    const bool negative = !text.empty() && text[0] == '-';
    const char* digits = text.data() + (negative || (!text.empty() && text[0] == '+') ? 1 : 0);
    const char* end = text.data() + text.size();
    const bool hex = end - digits > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X');
    std::uint64_t value = 0;
    const auto [stop, error] = std::from_chars(digits + (hex ? 2 : 0), end, value, hex ? 16 : 10);
    if (error != std::errc() || stop != end || value > INT64_MAX) return std::nullopt;
    const auto magnitude = static_cast<std::int64_t>(value);
    return negative ? -magnitude : magnitude;
}

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
    throw InputError(where + ": " + what);
}

std::string ControlsEscaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        char escaped[8] = {c, '\0'};
        if (byte < 0x20 || byte == 0x7F) {
            std::snprintf(escaped, sizeof escaped, byte == '\n' ? "\\n" : "\\x%02X", byte);
        }
        out += escaped;
    }
    return out;
}

void Expect(const Json::Value& value, const std::string& where, bool (Json::Value::*fits)() const,
            const char* what) {
    if (!(value.*fits)()) Fail(where, std::string("must be ") + what + ", got " + TypeName(value));
}

// object[key], or null when absent; throws unless `fits` holds for it.
const Json::Value* Typed(const Json::Value& object, const char* key, const std::string& where,
                         bool (Json::Value::*fits)() const, const char* what) {
    const Json::Value& v = object[key];
    if (v.isNull()) return nullptr;
    Expect(v, Member(where, key), fits, what);
    return &v;
}

// Edits that turn one text into the other, case aside: a letter left out,
// added or changed, or two neighbours swapped (optimal string alignment).
std::size_t EditDistance(const std::string& a, const std::string& b) {
    const auto same = [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    };
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        for (std::size_t j = 1; j <= b.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (same(a[i - 1], b[j - 1]) ? 0 : 1)});
            if (i > 1 && j > 1 && same(a[i - 1], b[j - 2]) && same(a[i - 2], b[j - 1]))
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

}  // namespace

std::string ClosestKey(const std::string& name, const KnownKeys& known) {
    // Short keys tolerate one slip, longer ones a slip per four letters.
    const std::size_t allowed = std::max<std::size_t>(1, name.size() / 4);
    std::string best;
    std::size_t best_distance = allowed + 1;
    for (const char* key : known) {
        const std::size_t distance = EditDistance(name, key);
        if (distance < best_distance) {
            best = key;
            best_distance = distance;
        }
    }
    return best;
}

void WarnUnknownMembers(const Json::Value& object, const std::string& where, const KnownKeys& known,
                        std::vector<std::string>* warnings) {
    if (!object.isObject()) return;
    for (const std::string& name : object.getMemberNames()) {
        if (std::any_of(known.begin(), known.end(), [&](const char* k) { return name == k; }))
            continue;
        const std::string meant = ClosestKey(name, known);
        warnings->push_back(ControlsEscaped(
            Member(where, name.c_str()) + ": unknown key, ignored" +
            (meant.empty() ? std::string() : " (did you mean \"" + meant + "\"?)")));
    }
}

std::string Escaped(const std::string& text) { return ControlsEscaped(text); }

const char* TypeName(const Json::Value& value) {
    static_assert(Json::nullValue == 0 && Json::objectValue == 7, "indexed by Json::ValueType");
    static const char* const kNames[] = {"null",     "an integer", "an integer", "a number",
                                         "a string", "a boolean",  "an array",   "an object"};
    return kNames[value.type()];
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
    const input_file::Contents file = input_file::Read(path, kMaxFileBytes);
    if (!file.error.empty()) throw InputError(path + ": " + file.error);
    return ParseText(file.text, path);
}

InputError::InputError(const std::string& message) : std::runtime_error(ControlsEscaped(message)) {}

std::string Member(const std::string& where, const char* key) {
    return where.empty() ? std::string(key) : where + "." + key;
}

std::string Element(const std::string& where, unsigned index) {
    return where + "[" + std::to_string(index) + "]";
}

void ExpectObject(const Json::Value& value, const std::string& where) {
    Expect(value, where, &Json::Value::isObject, "an object");
}

void ExpectArray(const Json::Value& value, const std::string& where) {
    Expect(value, where, &Json::Value::isArray, "an array");
}

std::optional<std::int64_t> OptionalInteger(const Json::Value& object, const char* key,
                                            const std::string& where, std::int64_t min,
                                            std::int64_t max) {
    const Json::Value& v = object[key];
    if (v.isNull()) return std::nullopt;
    std::optional<std::int64_t> n;
    if (v.isInt64()) {  // also a whole number written with a fraction or exponent
        n = v.asInt64();
    } else if (v.isString()) {
        n = ParseIntegerText(v.asString());
    }
    if (n && *n >= min && *n <= max) return n;
    std::string got = TypeName(v);
    if (n) {
        got = std::to_string(*n);
    } else if (v.isString()) {
        got = "\"" + v.asString() + "\"";
    } else if (v.isUInt64()) {
        got = v.asString();  // above INT64_MAX
    }
    Fail(Member(where, key),
         "must be an integer " + std::to_string(min) + ".." + std::to_string(max) + ", got " + got);
}

std::int64_t RequireInteger(const Json::Value& object, const char* key, const std::string& where,
                            std::int64_t min, std::int64_t max) {
    auto n = OptionalInteger(object, key, where, min, max);
    if (!n) Fail(Member(where, key), "missing");
    return *n;
}

std::optional<double> OptionalNumber(const Json::Value& object, const char* key,
                                     const std::string& where) {
    // Booleans are no numbers to jsoncpp's isNumeric.
    const Json::Value* v = Typed(object, key, where, &Json::Value::isNumeric, "a number");
    return v ? std::optional(v->asDouble()) : std::nullopt;
}

std::optional<bool> OptionalBool(const Json::Value& object, const char* key,
                                 const std::string& where) {
    const Json::Value* v = Typed(object, key, where, &Json::Value::isBool, "true or false");
    return v ? std::optional(v->asBool()) : std::nullopt;
}

std::optional<std::string> OptionalString(const Json::Value& object, const char* key,
                                          const std::string& where) {
    const Json::Value* v = Typed(object, key, where, &Json::Value::isString, "a string");
    return v ? std::optional(v->asString()) : std::nullopt;
}

std::string RequireString(const Json::Value& object, const char* key, const std::string& where) {
    auto s = OptionalString(object, key, where);
    if (!s) Fail(Member(where, key), "missing");
    if (s->empty()) Fail(Member(where, key), "must not be empty");
    return *s;
}

}  // namespace json_input
