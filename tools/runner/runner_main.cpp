#include "tools/runner/runner_main.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tools/alarm_log/alarms_command.h"
#include "tools/common/console/console.h"
#include "tools/common/console/outlet.h"
#include "tools/common/exit_status.h"
#include "tools/common/stop_signals.h"
#include "tools/common/version.h"
#include "tools/record/decode_command.h"
#include "tools/runner/check/check_run.h"
#include "tools/runner/energy/reset_energy_command.h"
#include "tools/runner/outputs/mqtt/mqtt_output.h"
#include "tools/runner/outputs/web/web_view.h"
#include "tools/runner/play_host.h"
#include "tools/runner/run_options.h"
#include "tools/runner/scan/scan_command.h"

namespace runner {
namespace {

constexpr char kProgram[] = "battery32-run";

// The sub-commands, each given the arguments after its name.
struct SubCommand {
    const char* name;
    int (*run)(const std::vector<std::string>& args);
};
constexpr SubCommand kSubCommands[] = {
    {"decode", record::DecodeCommand},
    {"alarms", alarm_log::AlarmsCommand},
    {"scan", scan::ScanCommand},
    {"reset-energy", energy::ResetEnergyCommand},
};

// An output the options ask for that this build lacks: one line, else "".
std::string MissingOutput(const RunOptions& options) {
    if (!options.mqtt.url.empty() && outputs::MqttOutput::Absent())
        return std::string("--mqtt: ") + outputs::MqttOutput::Absent();
    if (!options.http_listen.empty() && outputs::WebView::Absent())
        return std::string("--http: ") + outputs::WebView::Absent();
    return "";
}

// How long the last lines of a run may wait for a slow reader before they are
// given up: short enough that a stop signal still ends the run within a second.
constexpr auto kLastLinesWait = std::chrono::milliseconds(500);

// After the last lines: what a reader never took is said where it can be.
void SayWhatWasLost(console::Outlet& records, console::Outlet& errors) {
    console::Outlet::DrainAll({&records, &errors}, kLastLinesWait);
    if (records.dropped() == 0) return;
    errors.Line(console::ProblemPrefix(kProgram, STDERR_FILENO) +
                console::Count(records.dropped(), "line", "lines") + " dropped: " + records.name() +
                " was not read");
}

// A run: the options resolved, then the host played until it stops.
int Run(RunOptions options) {
    ::signal(SIGPIPE, SIG_IGN);  // a closed reader of our output must not kill the poller
    // An output over the file size limit is a failed write, said as such, not a death.
    ::signal(SIGXFSZ, SIG_IGN);
    // Before any thread starts (simulated lines, name lookups): each of them
    // must block the stop signals, so that they reach the loop.
    const stop_signals::StopSignals stop;
    // The records stream keeps pointing at stdout while the device's output is redirected.
    const int records_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (records_fd < 0) return exit_status::kCannotRun;
    int status = exit_status::kCannotRun;
    {
        // Neither output may hold polling up, nor a stop signal, whoever reads them.
        // Their own lines (lines dropped) are problems.
        console::Outlet records(records_fd, "standard output",
                                console::ProblemPrefix(kProgram, records_fd));
        console::Outlet errors(STDERR_FILENO, "standard error",
                               console::ProblemPrefix(kProgram, STDERR_FILENO));
        const console::Console console(kProgram, records, errors, options.json);
        const std::vector<std::string> problems = ResolveOptions(options, console);
        for (const std::string& problem : problems) console.Problem(problem);
        if (problems.empty()) status = PlayHost(console, options, stop.fd());
        SayWhatWasLost(records, errors);
    }
    ::close(records_fd);
    return status;
}

}  // namespace

int RunnerMain(int argc, char** argv) {
    const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    for (const SubCommand& sub : kSubCommands) {
        if (!args.empty() && args[0] == sub.name) return sub.run({args.begin() + 1, args.end()});
    }
    ParsedCommandLine parsed = ParseCommandLine(args);
    const console::Console plain(kProgram, STDOUT_FILENO, STDERR_FILENO, false);
    switch (parsed.action) {
        case ParsedCommandLine::Action::kHelp:
            plain.Record(UsageText());
            return exit_status::kOk;
        case ParsedCommandLine::Action::kVersion:
            plain.Record(version::Line(kProgram));
            return exit_status::kOk;
        case ParsedCommandLine::Action::kError:
            plain.Problem(parsed.error + " (--help lists the options)");
            return exit_status::kUsage;
        case ParsedCommandLine::Action::kRun:
            break;
    }
    if (const std::string missing = MissingOutput(parsed.run); !missing.empty()) {
        plain.Problem(missing);
        return exit_status::kUsage;
    }
    if (parsed.run.check) return check::CheckRun(std::move(parsed.run), plain);
    return Run(std::move(parsed.run));
}

}  // namespace runner
