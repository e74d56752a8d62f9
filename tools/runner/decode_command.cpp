#include "tools/runner/decode_command.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "tools/record/history_file.h"
#include "tools/record/record_format.h"
#include "tools/runner/runner.h"

namespace runner {

// Standard output goes through stdio's buffer. A write that fails stops the
// decode, so that a full disk ends it with status 1 instead of a CSV cut
// mid-row and exit 0. (A closed pipe ends it by SIGPIPE, as it does `cat`.)
int DecodeHistory(const DecodeOptions& options) {
    const Console console(STDOUT_FILENO, STDERR_FILENO, false);
    try {
        record_tools::HistoryReader reader(options.history_path, record_tools::kRecordSize);
        if (!options.json) std::puts(record_tools::CsvHeader().c_str());
        const std::uint8_t* image = nullptr;
        while (!std::ferror(stdout) && (image = reader.Next()) != nullptr) {
            const auto record = record_tools::DecodeRecord(image, record_tools::kRecordSize);
            std::puts((options.json ? record_tools::JsonLine(*record, std::nullopt, std::nullopt)
                                    : record_tools::CsvRow(*record))
                          .c_str());
        }
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            console.Problem("decode " + options.history_path + ": cannot write the output (" +
                            std::strerror(errno) + "); it is incomplete");
            return kExitCannotRun;
        }
        if (reader.trailing_bytes() != 0) {
            console.Problem(options.history_path + ": ignored " +
                            std::to_string(reader.trailing_bytes()) +
                            " trailing bytes (a partial record)");
        }
    } catch (const std::exception& e) {
        std::fflush(stdout);
        console.Problem(e.what());
        return kExitCannotRun;
    }
    return kExitOk;
}

}  // namespace runner
