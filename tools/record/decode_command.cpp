#include "tools/record/decode_command.h"

#include <cstdio>
#include <exception>

#include "tools/common/command_line.h"
#include "tools/common/console/console.h"
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
// "" when the record at `index` (0-based) can be one of the history's, else
// why the file is no history: every record has a valid time stamp and the
// first record's device.
std::string NotARecord(const Battery32_Data_t& record, std::uint64_t index,
                       std::uint32_t first_id) {
    const std::string which = "record " + std::to_string(index + 1) + " (at byte " +
                              std::to_string(index * kRecordSize) + ")";
    if (!ValidStamp(record.timestamp)) return which + " has no valid time stamp";
    if (record.data_id != first_id) {
        return which + " is device " + std::to_string(record.data_id) + "'s, record 1 device " +
               std::to_string(first_id) + "'s";
    }
    return "";
}

int Decode(const DecodeOptions& options, const console::Console& console) {
    try {
        HistoryReader reader(options.history_path, kRecordSize);
        const std::uint8_t* image = reader.Next();
        const std::uint32_t first_id = image ? DecodeRecord(image, kRecordSize)->data_id : 0;
        if (image == nullptr && !options.json) std::puts(CsvHeader().c_str());  // an empty history
        for (std::uint64_t index = 0; !std::ferror(stdout) && image != nullptr;
             image = reader.Next(), ++index) {
            const auto record = DecodeRecord(image, kRecordSize);
            if (const std::string fault = NotARecord(*record, index, first_id); !fault.empty()) {
                std::fflush(stdout);
                console.Problem(options.history_path +
                                ": not a history file of battery32 records: " + fault);
                return exit_status::kCannotRun;
            }
            // Once the first record is known to be one.
            if (index == 0 && !options.json) std::puts(CsvHeader().c_str());
            std::puts((options.json
                           ? JsonLine(*record, std::nullopt, std::nullopt, TimeForm::kWithOffset)
                           : CsvRow(*record))
                          .c_str());
        }
        if (!console::OutputComplete(console, "decode " + options.history_path)) {
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
    DecodeOptions options;
    const std::string fault = ParseDecode(args, options);
    return console::SubCommand(kUsage, options.help, fault, [&](const console::Console& console) {
        return Decode(options, console);
    });
}

}  // namespace record
