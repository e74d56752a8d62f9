#include "tools/runner/decode_command.h"

#include <unistd.h>

#include <exception>

#include "tools/record/history_file.h"
#include "tools/record/record_format.h"
#include "tools/record/record_image.h"
#include "tools/runner/console.h"
#include "tools/runner/runner.h"

namespace runner {

int DecodeHistory(const DecodeOptions& options) {
    record_tools::HistoryContents contents;
    try {
        contents = record_tools::ReadHistory(options.history_path, record_tools::kRecordSize);
    } catch (const std::exception& e) {
        Console::WriteLine(STDERR_FILENO, std::string("battery32-run: ") + e.what());
        return kExitCannotRun;
    }
    if (!options.json) Console::WriteLine(STDOUT_FILENO, record_tools::CsvHeader());
    for (const auto& image : contents.records) {
        const auto record = record_tools::DecodeRecord(image.data(), image.size());
        if (!record) continue;  // cannot happen: every image is one record long
        Console::WriteLine(STDOUT_FILENO, options.json
                                              ? record_tools::JsonLine(*record, std::nullopt, std::nullopt)
                                              : record_tools::CsvRow(*record));
    }
    if (contents.trailing_bytes != 0) {
        Console::WriteLine(STDERR_FILENO, "battery32-run: " + options.history_path + ": ignored " +
                                              std::to_string(contents.trailing_bytes) +
                                              " trailing bytes (a partial record)");
    }
    return kExitOk;
}

}  // namespace runner
