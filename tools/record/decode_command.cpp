#include "tools/record/decode_command.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "tools/common/command_line.h"
#include "tools/common/console.h"
#include "tools/common/exit_status.h"
#include "tools/record/history_file.h"
#include "tools/record/record_format.h"

namespace record {
namespace {

constexpr char kUsage[] =
    "usage: battery32-run decode HISTORY_FILE [--json]\n"
    "Prints a history file: a CSV header and one row per record, or one JSON\n"
    "object per record with --json.\n";

struct DecodeOptions {
    std::string history_path;
    bool json = false;
    bool help = false;
};

// "" or what is wrong with the command line.
std::string ParseDecode(const std::vector<std::string>& args, DecodeOptions& d) {
    const std::vector<command_line::Option> options = {
        {"json", nullptr, nullptr, nullptr, command_line::Flag(&d.json)},
        {"help", nullptr, nullptr, nullptr, command_line::Flag(&d.help), 'h'},
    };
    std::string fault =
        command_line::Walk(args, options, [&d](const std::string& path, std::string* why) {
            if (!d.history_path.empty()) {
                *why = "one history file at a time";
                return false;
            }
            d.history_path = path;
            return true;
        });
    if (fault.empty() && d.history_path.empty()) fault = "which history file?";
    return fault.empty() ? fault : "decode: " + fault;
}

// Standard output goes through stdio's buffer. A write that fails stops the
// decode, so that a full disk ends it with status 1 instead of a CSV cut
// mid-row and exit 0. (A closed pipe ends it by SIGPIPE, as it does `cat`.)
int Decode(const DecodeOptions& options, const console::Console& console) {
    try {
        HistoryReader reader(options.history_path, kRecordSize);
        if (!options.json) std::puts(CsvHeader().c_str());
        const std::uint8_t* image = nullptr;
        while (!std::ferror(stdout) && (image = reader.Next()) != nullptr) {
            const auto record = DecodeRecord(image, kRecordSize);
            std::puts(
                (options.json ? JsonLine(*record, std::nullopt, std::nullopt) : CsvRow(*record))
                    .c_str());
        }
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            console.Problem("decode " + options.history_path + ": cannot write the output (" +
                            std::strerror(errno) + "); it is incomplete");
            return exit_status::kCannotRun;
        }
        if (reader.trailing_bytes() != 0) {
            console.Problem(options.history_path + ": ignored " +
                            std::to_string(reader.trailing_bytes()) +
                            " trailing bytes (a partial record)");
        }
    } catch (const std::exception& e) {
        std::fflush(stdout);
        console.Problem(e.what());
        return exit_status::kCannotRun;
    }
    return exit_status::kOk;
}

}  // namespace

int DecodeCommand(const std::vector<std::string>& args) {
    const console::Console console("battery32-run", STDOUT_FILENO, STDERR_FILENO, false);
    DecodeOptions options;
    const std::string fault = ParseDecode(args, options);
    return command_line::RunSubCommand(console, std::string(kUsage, sizeof kUsage - 2),
                                       options.help, fault,
                                       [&] { return Decode(options, console); });
}

}  // namespace record
