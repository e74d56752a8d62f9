#include "tools/runner/decode_command.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>

#include "tools/record/history_file.h"
#include "tools/record/record_format.h"
#include "tools/record/record_image.h"
#include "tools/runner/console.h"
#include "tools/runner/runner.h"

namespace runner {
namespace {

// Standard output through a fixed buffer; the first failed write is kept, so
// that a full disk or a closed pipe ends the decode with status 1 instead of a
// CSV cut mid-row and exit 0.
class OutputBuffer {
public:
    explicit OutputBuffer(int fd) : fd_(fd) { text_.reserve(kSize); }
    void Line(const std::string& line) {
        text_ += line;
        text_ += '\n';
        if (text_.size() >= kSize) Flush();
    }
    // "" when everything written so far has gone out, else the reason.
    std::string Flush() {
        std::size_t done = 0;
        while (error_.empty() && done < text_.size()) {
            const ssize_t n = ::write(fd_, text_.data() + done, text_.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0)
                error_ = std::strerror(errno);
            else if (n == 0)
                error_ = "nothing written";
            else
                done += static_cast<std::size_t>(n);
        }
        text_.clear();
        return error_;
    }
    bool failed() const { return !error_.empty(); }

private:
    static constexpr std::size_t kSize = 64 * 1024;
    int fd_;
    std::string text_;
    std::string error_;
};

int Fail(const std::string& line) {
    Console::WriteLine(STDERR_FILENO, "battery32-run: " + line);
    return kExitCannotRun;
}

}  // namespace

int DecodeHistory(const DecodeOptions& options) {
    OutputBuffer out(STDOUT_FILENO);
    try {
        record_tools::HistoryReader reader(options.history_path, record_tools::kRecordSize);
        if (!options.json) out.Line(record_tools::CsvHeader());
        while (const std::uint8_t* image = reader.Next()) {
            const auto record = record_tools::DecodeRecord(image, record_tools::kRecordSize);
            out.Line(options.json ? record_tools::JsonLine(*record, std::nullopt, std::nullopt)
                                  : record_tools::CsvRow(*record));
            if (out.failed()) break;
        }
        const std::string error = out.Flush();
        if (!error.empty()) {
            return Fail("decode " + options.history_path + ": cannot write the output (" + error +
                        "); it is incomplete");
        }
        if (reader.trailing_bytes() != 0) {
            Console::WriteLine(STDERR_FILENO, "battery32-run: " + options.history_path +
                                                  ": ignored " +
                                                  std::to_string(reader.trailing_bytes()) +
                                                  " trailing bytes (a partial record)");
        }
    } catch (const std::exception& e) {
        out.Flush();
        return Fail(e.what());
    }
    return kExitOk;
}

}  // namespace runner
