#pragma once
// Reading the tools' command lines: one rule for numbers given as text, and
// option tables walked with getopt_long.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/common/console.h"

namespace command_line {

// `text` as a whole base-10 integer within min..max: no sign but '-' (and that
// only when min is negative), no spaces, nothing after the digits, no overflow.
// Every tool that reads a number from text (options, a lock file's pid, a web
// query) goes through it.
std::optional<long long> ParseInteger(std::string_view text, long long min, long long max);

// Takes an option's value ("" for a flag); false when it is unusable. `*fault`
// then says why: the option's "--name needs ..." text, unless the take put a
// message of its own there.
using Take = std::function<bool(const std::string& value, std::string* fault)>;

struct Option {
    const char* name;   // "tick-ms" for --tick-ms
    const char* value;  // in the help: "N", "FILE"; nullptr: a flag
    const char* help;   // lines apart by '\n'; nullptr: not listed
    const char* needs;  // "--tick-ms needs <this>" when the value is missing or
                        // unusable; nullptr: "a value"
    Take take;
    char letter = 0;  // a one-letter form, "-h"; 0: none
};

// Takes an argument that is no option, as a take does (`*fault` holds
// "unexpected argument TEXT"); none: every such argument is refused.
using Operand = std::function<bool(const std::string& text, std::string* fault)>;

// Walks `args` (the arguments after the program name) in order, long options
// in both forms "--name VALUE" and "--name=VALUE", giving every option to its
// take and every other argument to `operand`. Returns "" or the first fault:
// "unknown option --x", "--name needs ...", "unexpected argument x" or what a
// take or `operand` said.
std::string Walk(const std::vector<std::string>& args, const std::vector<Option>& options,
                 const Operand& operand = nullptr);

// The listed options, one per line: "  --name VALUE", the help from `column`
// (two spaces after a longer name), its further lines indented to match.
std::string Help(const std::vector<Option>& options, std::size_t column);

// How a sub-command (battery32-run decode, scan) goes on once its command line
// is walked: with `help`, its usage and exit 0; with a `fault`, that and exit
// 2; else what `run` returns.
int RunSubCommand(const console::Console& console, const std::string& usage, bool help,
                  const std::string& fault, const std::function<int()>& run);

// Takes that store the value.
Take Flag(bool* target, bool value = true);
Take Text(std::string* target, bool empty_allowed = true);
// A duration in seconds, more than 0 and at most 10,000,000 ("2.5", "1e3").
Take Seconds(double* target);
template <typename Integer>
Take Number(Integer* target, long long min, long long max) {
    return [=](const std::string& text, std::string*) {
        const std::optional<long long> n = ParseInteger(text, min, max);
        if (n) *target = static_cast<Integer>(*n);
        return n.has_value();
    };
}

}  // namespace command_line
