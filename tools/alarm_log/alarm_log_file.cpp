#include "tools/alarm_log/alarm_log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "tools/common/descriptor_io.h"

namespace alarm_log {
namespace {

using descriptor_io::ErrnoText;

// Every record of `active` as an "active" line, in the order they were raised.
std::string ActiveLines(const ActiveAlarms& active) {
    std::string lines;
    for (AlarmRecord a : active.list()) {
        a.kind = AlarmKind::kActive;  // keeps the time it was raised
        lines += AlarmJson(a) + "\n";
    }
    return lines;
}

void Append(LogContents& to, LogContents&& from) {
    for (AlarmRecord& r : from.records) to.records.push_back(std::move(r));
    to.foreign_lines += from.foreign_lines;
    to.partial_bytes += from.partial_bytes;
}

}  // namespace

std::string LogPath(const std::string& dir) { return dir + "/alarms.log"; }

std::string OlderPath(const std::string& log_path) { return log_path + ".1"; }

LogContents ReadLogFile(const std::string& path) {
    LogContents contents;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno == ENOENT) return contents;
        throw std::runtime_error(path + ": cannot open (" + ErrnoText() + ")");
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw std::runtime_error(path + ": cannot read (" + ErrnoText() + ")");
    const std::string all = text.str();
    std::size_t start = 0;
    for (std::size_t end; (end = all.find('\n', start)) != std::string::npos; start = end + 1) {
        if (auto record = ParseAlarmJson(std::string_view(all).substr(start, end - start))) {
            contents.records.push_back(std::move(*record));
        } else {
            ++contents.foreign_lines;
        }
    }
    contents.partial_bytes = all.size() - start;
    return contents;
}

LogContents ReadLog(const std::string& log_path) {
    LogContents log = ReadLogFile(OlderPath(log_path));
    Append(log, ReadLogFile(log_path));
    return log;
}

ActiveAlarms ActiveAtEnd(const LogContents& log) {
    ActiveAlarms active;
    for (const AlarmRecord& r : log.records) active.Apply(r);
    return active;
}

AlarmLogWriter::AlarmLogWriter(std::string path, std::uint64_t limit_bytes)
    : path_(std::move(path)), limit_(limit_bytes) {}

AlarmLogWriter::~AlarmLogWriter() { Close(); }

void AlarmLogWriter::Close() {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
}

std::string AlarmLogWriter::Open(std::size_t* cut_bytes) {
    Close();
    if (cut_bytes != nullptr) *cut_bytes = 0;
    LogContents log;
    try {
        log = ReadLog(path_);
    } catch (const std::exception& e) {
        return e.what();
    }
    active_ = ActiveAtEnd(log);
    if (std::string error = OpenFile(false); !error.empty()) return error;
    const std::uint64_t whole = size_ - ReadLogFile(path_).partial_bytes;
    if (whole != size_) {
        if (::ftruncate(fd_, static_cast<off_t>(whole)) != 0) {
            const std::string why = "cannot cut a partial line: " + ErrnoText();
            Close();
            return why;
        }
        if (cut_bytes != nullptr) *cut_bytes = static_cast<std::size_t>(size_ - whole);
        size_ = whole;
    }
    // A file begun anew (or turned over by a run that stopped right after)
    // opens with what its older part left active.
    std::string error;
    opening_ = 0;
    if (size_ == 0 && active_.size() != 0) {
        error = Write(ActiveLines(active_));
        opening_ = size_;
    }
    return error;
}

std::string AlarmLogWriter::OpenFile(bool fresh) {
    const int flags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | (fresh ? O_TRUNC : 0);
    fd_ = ::open(path_.c_str(), flags, 0644);
    if (fd_ < 0) return ErrnoText();
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        const std::string why = ErrnoText();
        Close();
        return why;
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
    return "";
}

std::string AlarmLogWriter::Write(const std::string& lines) {
    ssize_t n;
    do {
        n = ::write(fd_, lines.data(), lines.size());
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(lines.size())) {
        size_ += lines.size();
        return ::fdatasync(fd_) == 0 ? "" : "sync failed: " + ErrnoText();
    }
    const std::string reason = n < 0 ? ErrnoText() : "short write (disk full?)";
    // Take back a partial line so that the next one starts on a line of its own.
    if (n > 0 && ::ftruncate(fd_, static_cast<off_t>(size_)) != 0) {
        return reason + "; partial line left behind";
    }
    return reason;
}

std::string AlarmLogWriter::TurnOver() {
    Close();
    if (::rename(path_.c_str(), OlderPath(path_).c_str()) != 0) {
        const std::string why = "cannot turn the log over (" + ErrnoText() + "); it grows on";
        const std::string error = OpenFile(false);
        return error.empty() ? why : error;
    }
    if (std::string error = OpenFile(true); !error.empty()) return error;
    const std::string error = Write(ActiveLines(active_));
    opening_ = size_;
    return error;
}

std::string AlarmLogWriter::Append(const AlarmRecord& record) {
    if (fd_ < 0) return "not open";
    const std::string line = AlarmJson(record) + "\n";
    // A file that holds no more than its opening list is never turned over again.
    std::string turn_error;
    if (size_ > opening_ && size_ + line.size() > limit_) turn_error = TurnOver();
    if (fd_ < 0) return turn_error;
    const std::string error = Write(line);
    if (error.empty()) active_.Apply(record);
    return error.empty() ? turn_error : error;
}

}  // namespace alarm_log
