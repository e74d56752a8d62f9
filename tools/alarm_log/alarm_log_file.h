#pragma once
// The alarm log of a data folder, DIR/alarms.log: one JSON line per alarm
// raised or cleared (alarm_record.h), appended and never rewritten.
//
// Whole records after a crash: each line goes out in one write() on a
// descriptor opened with O_APPEND and is synced, so a crash or kill -9 leaves
// the line whole or absent; a power loss may still cut the last line short.
// Readers skip a last line without its line end, and opening for append cuts
// it off first.
//
// Bounded: before a line would take the file past its limit, the file is
// renamed to DIR/alarms.log.1 (replacing the one before) and a new one begins
// with an "active" line for every alarm active at that moment, so that the
// log's last two files always tell which alarms are active, however old.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/alarm_log/active_alarms.h"
#include "tools/alarm_log/alarm_record.h"

namespace alarm_log {

// DIR/alarms.log, and its older part.
std::string LogPath(const std::string& dir);
std::string OlderPath(const std::string& log_path);

struct LogContents {
    std::vector<AlarmRecord> records;  // oldest first
    std::size_t foreign_lines = 0;     // whole lines that are no alarm record
    std::size_t partial_bytes = 0;     // a last line without its line end
};

// The records of one file; a missing file has none. Throws std::runtime_error
// "PATH: reason" when it exists but cannot be read.
LogContents ReadLogFile(const std::string& path);
// The whole log: the older part, then the file itself.
LogContents ReadLog(const std::string& log_path);
// The alarms active once every record of `log` has been taken.
ActiveAlarms ActiveAtEnd(const LogContents& log);

class AlarmLogWriter {
public:
    static constexpr std::uint64_t kDefaultLimit = 1024 * 1024;

    explicit AlarmLogWriter(std::string path, std::uint64_t limit_bytes = kDefaultLimit);
    ~AlarmLogWriter();
    AlarmLogWriter(const AlarmLogWriter&) = delete;
    AlarmLogWriter& operator=(const AlarmLogWriter&) = delete;

    // Reads the log to learn which alarms are active, opens the file (making
    // it) and cuts off a partial last line. "" on success, else the reason.
    std::string Open(std::size_t* cut_bytes = nullptr);
    // Appends one record, turning the file over first when it is full. "" on
    // success, else the reason; a short write is taken back.
    std::string Append(const AlarmRecord& record);
    void Close();
    bool is_open() const { return fd_ >= 0; }
    // The alarms active after the last record written.
    const ActiveAlarms& active() const { return active_; }

private:
    std::string OpenFile(bool fresh);
    std::string Write(const std::string& lines);
    std::string TurnOver();

    std::string path_;
    std::uint64_t limit_;
    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::uint64_t opening_ = 0;  // the size of the opening list of active alarms
    ActiveAlarms active_;
};

}  // namespace alarm_log
