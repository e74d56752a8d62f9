#include "tools/runner/energy/reset_energy_command.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <exception>
#include <optional>

#include "tools/common/command_line.h"
#include "tools/common/console/console.h"
#include "tools/common/exit_status.h"
#include "tools/common/time_text.h"
#include "tools/record/history_file.h"
#include "tools/runner/data_folder/data_folder.h"
#include "tools/runner/energy/energy_file.h"

namespace runner::energy {
namespace {

constexpr char kUsage[] =
    "usage: battery32-run reset-energy DIR DATA_ID\n"
    "Sets the energy counters of device DATA_ID in the data folder DIR back to\n"
    "zero, after saying what they stood at. No runner may be polling with DIR.\n";

struct ResetOptions {
    std::string dir;
    std::uint32_t data_id = 0;
    int operands = 0;
    bool help = false;
};

// "" or what is wrong with the command line.
std::string ParseReset(const std::vector<std::string>& args, ResetOptions& r) {
    const std::vector<command_line::Option> options = {
        {"help", nullptr, nullptr, nullptr, command_line::Flag(&r.help), 'h'},
    };
    std::string fault =
        command_line::Walk(args, options, [&r](const std::string& text, std::string* why) {
            if (++r.operands == 1) {
                r.dir = text;
                return true;
            }
            const auto id = command_line::ParseInteger(text, 1, UINT32_MAX);
            if (r.operands == 2 && id) {
                r.data_id = static_cast<std::uint32_t>(*id);
                return true;
            }
            *why = r.operands == 2 ? "DATA_ID must be a data id 1..4294967295, got " + text
                                   : "unexpected argument " + text;
            return false;
        });
    if (fault.empty() && r.operands < 2)
        fault = r.operands == 0 ? "which data folder and device?" : "which device (DATA_ID)?";
    return fault.empty() ? fault : "reset-energy: " + fault;
}

std::string Since(std::int64_t since) {
    return time_text::LocalTime(
        std::chrono::system_clock::from_time_t(static_cast<std::time_t>(since)));
}

int Reset(const ResetOptions& options, const console::Console& console) {
    const std::string label = "reset-energy: device " + std::to_string(options.data_id) + ": ";
    struct stat st {};
    const bool found = ::stat(options.dir.c_str(), &st) == 0;
    if (!found || !S_ISDIR(st.st_mode)) {
        console.Problem("reset-energy: " + options.dir + ": no data folder there (" +
                        (found ? "not a directory" : std::strerror(errno)) + ")");
        return exit_status::kCannotRun;
    }
    data_folder::DataFolderLock lock;
    const std::string locked =
        lock.Take(options.dir, "stop it first: it would write its counters over the reset");
    if (!locked.empty()) {
        console.Problem("reset-energy: " + locked);
        return exit_status::kCannotRun;
    }
    const std::string path = data_folder::EnergyPath(options.dir, options.data_id);
    std::optional<EnergyCounters> before;
    try {
        std::string note;
        before = ReadEnergyFile(path, options.data_id, &note);
        if (!note.empty())
            console.Problem(label + note);
        else if (!before) {
            console.Problem(label + "no energy counters in " + options.dir + " (" + path + ")");
            return exit_status::kCannotRun;
        }
    } catch (const std::exception& e) {
        console.Problem(label + e.what());
        return exit_status::kCannotRun;
    }
    EnergyCounters zero;
    zero.since = std::time(nullptr);
    char text[256];
    const std::size_t length = EnergyFileText(options.data_id, zero, text, sizeof text);
    if (const std::string error = record::ReplaceFile(path, path + ".new", text, length, true);
        !error.empty()) {
        console.Problem(label + error);
        return exit_status::kCannotRun;
    }
    console.Note(
        label + "energy counters reset to zero" +
        (before ? "; before: " + EnergyText(*before) + ", counted since " + Since(before->since)
                : std::string()));
    return exit_status::kOk;
}

}  // namespace

int ResetEnergyCommand(const std::vector<std::string>& args) {
    ResetOptions options;
    const std::string fault = ParseReset(args, options);
    return console::SubCommand(kUsage, options.help, fault, [&](const console::Console& console) {
        return Reset(options, console);
    });
}

}  // namespace runner::energy
