#pragma once
// Reading the tools' JSON input files with errors a person can act on: every
// error names the file and the place in it ("devices[1].address: ...").

#include <json/value.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace json_input {

// Thrown for any unusable input; what() is one line, ready to print. Control
// characters quoted from the input (a newline inside a string, a NUL) are
// shown escaped ("\n", "\x00"), so they can never break that line.
class InputError : public std::runtime_error {
public:
    explicit InputError(const std::string& message);
};

// Input files are read up to this size (input_file.h: regular files only).
inline constexpr std::size_t kMaxFileBytes = 4 * 1024 * 1024;

// The whole file parsed as strict JSON (no comments, one value).
// Errors: "FILE: cannot read (reason)", "FILE: not a regular file (a FIFO)",
// "FILE: larger than 4 MiB", "FILE: not JSON: line L, column C: reason" or
// "FILE: not JSON: nested deeper than 64 levels".
Json::Value ParseFile(const std::string& path);
Json::Value ParseText(const std::string& text, const std::string& origin);

// A place in a document, for messages: "devices[1].address".
std::string Member(const std::string& where, const char* key);
std::string Element(const std::string& where, unsigned index);

// Field readers. `where` names the containing object. Required readers throw
// InputError when the key is missing; all throw on a wrong type or range.
// Integers accept JSON integers and, for ease of writing addresses, strings in
// decimal or 0x-prefixed hexadecimal.
std::int64_t RequireInteger(const Json::Value& object, const char* key, const std::string& where,
                            std::int64_t min, std::int64_t max);
std::optional<std::int64_t> OptionalInteger(const Json::Value& object, const char* key,
                                            const std::string& where, std::int64_t min,
                                            std::int64_t max);
std::optional<double> OptionalNumber(const Json::Value& object, const char* key,
                                     const std::string& where);
std::optional<bool> OptionalBool(const Json::Value& object, const char* key,
                                 const std::string& where);
std::string RequireString(const Json::Value& object, const char* key, const std::string& where);
std::optional<std::string> OptionalString(const Json::Value& object, const char* key,
                                          const std::string& where);
// Throws unless `value` is an object ("where: must be an object, got a string").
void ExpectObject(const Json::Value& value, const std::string& where);
void ExpectArray(const Json::Value& value, const std::string& where);

// `text` quoted from an input into a message: control characters escaped as
// InputError shows them, so that the message stays one line.
std::string Escaped(const std::string& text);

// "a string", "a number", ... for messages.
const char* TypeName(const Json::Value& value);

// Members a reader does not know are warned about, not refused: a file may
// carry notes of its own, but a misspelt key must not pass without a word.
using KnownKeys = std::vector<const char*>;

// The key of `known` that `name` most likely misspells (a letter missing,
// added, changed, or two swapped; case aside), or "" when none is that close.
std::string ClosestKey(const std::string& name, const KnownKeys& known);

// One line per member of `object` that is not in `known`, appended to
// `warnings`: "where.adress: unknown key, ignored (did you mean "address"?)".
void WarnUnknownMembers(const Json::Value& object, const std::string& where, const KnownKeys& known,
                        std::vector<std::string>* warnings);

}  // namespace json_input
