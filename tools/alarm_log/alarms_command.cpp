#include "tools/alarm_log/alarms_command.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <optional>

#include "tools/alarm_log/alarm_log_file.h"
#include "tools/common/command_line.h"
#include "tools/common/console/console.h"
#include "tools/common/exit_status.h"
#include "tools/common/time_text.h"

namespace alarm_log {
namespace {

constexpr char kUsage[] =
    "usage: battery32-run alarms [--active] [--since T] DIR\n"
    "Prints the alarm log of the data folder DIR: every alarm raised or cleared,\n"
    "oldest first, or with --active the alarms active when the log ends.\n"
    "--since T keeps those from T on: \"YYYY-MM-DD hh:mm:ss\" (local time) or epoch seconds.\n";

struct AlarmsOptions {
    std::string dir;
    bool active = false;
    std::optional<std::int64_t> since;
    bool help = false;
};

command_line::Take Since(std::optional<std::int64_t>* since) {
    return [since](const std::string& text, std::string*) {
        std::optional<std::tm> local = time_text::ParseTimeText(text);
        if (local) *since = static_cast<std::int64_t>(std::mktime(&*local));
        return local.has_value();
    };
}

// "" or what is wrong with the command line.
std::string ParseAlarms(const std::vector<std::string>& args, AlarmsOptions& a) {
    const std::vector<command_line::Option> options = {
        {"active", nullptr, nullptr, nullptr, command_line::Flag(&a.active)},
        {"since", "T", nullptr, "\"YYYY-MM-DD hh:mm:ss\" or epoch seconds", Since(&a.since)},
        {"help", nullptr, nullptr, nullptr, command_line::Flag(&a.help), 'h'},
    };
    std::string fault =
        command_line::Walk(args, options, [&a](const std::string& dir, std::string* why) {
            if (!a.dir.empty()) {
                *why = "one data folder at a time";
                return false;
            }
            a.dir = dir;
            return true;
        });
    if (fault.empty() && a.dir.empty()) fault = "which data folder?";
    return fault.empty() ? fault : "alarms: " + fault;
}

// The records to print: the whole log, or the active set at its end. A log's
// opening "active" lines repeat what an older part said: they count for the
// active set only.
std::vector<AlarmRecord> Chosen(const LogContents& log, const AlarmsOptions& options) {
    std::vector<AlarmRecord> chosen;
    const ActiveAlarms active = ActiveAtEnd(log);
    const std::vector<AlarmRecord>& from = options.active ? active.list() : log.records;
    for (const AlarmRecord& r : from) {
        if (!options.active && r.kind == AlarmKind::kActive) continue;
        if (options.since && r.epoch < *options.since) continue;
        chosen.push_back(r);
    }
    return chosen;
}

int Print(const AlarmsOptions& options, const console::Console& console) {
    const std::string path = LogPath(options.dir);
    LogContents log;
    try {
        if (::access(path.c_str(), F_OK) != 0 && ::access(OlderPath(path).c_str(), F_OK) != 0) {
            console.Problem("alarms: " + path + ": no alarm log (" + std::strerror(errno) + ")");
            return exit_status::kCannotRun;
        }
        log = ReadLog(path);
    } catch (const std::exception& e) {
        console.Problem(std::string("alarms: ") + e.what());
        return exit_status::kCannotRun;
    }
    for (const AlarmRecord& r : Chosen(log, options)) std::puts(AlarmText(r).c_str());
    if (!console::OutputComplete(console, "alarms " + path)) return exit_status::kCannotRun;
    if (log.foreign_lines != 0) {
        console.Problem(path + ": skipped " + std::to_string(log.foreign_lines) +
                        " lines that are no alarm record");
    }
    if (log.partial_bytes != 0) {
        console.Problem(path + ": ignored " + std::to_string(log.partial_bytes) +
                        " trailing bytes (a partial line)");
    }
    return exit_status::kOk;
}

}  // namespace

int AlarmsCommand(const std::vector<std::string>& args) {
    AlarmsOptions options;
    const std::string fault = ParseAlarms(args, options);
    return console::SubCommand(kUsage, options.help, fault, [&](const console::Console& console) {
        return Print(options, console);
    });
}

}  // namespace alarm_log
