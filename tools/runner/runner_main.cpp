#include "tools/runner/runner_main.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/common/stop_signals.h"
#include "tools/runner/console.h"
#include "tools/runner/decode_command.h"
#include "tools/runner/device_chatter.h"
#include "tools/runner/http_view.h"
#include "tools/runner/mqtt_hookup.h"
#include "tools/runner/options.h"
#include "tools/runner/plugin_loader.h"
#include "tools/runner/runner.h"
#include "tools/runner/simulated_lines.h"
#include "tools/runner/site_config.h"

namespace runner {
namespace {

std::string Plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// What the command line names, read and loaded before anything is announced.
struct Inputs {
    Site site;
    std::optional<Plugin> plugin;
    SimulatedLines simulated;
};

// Fills in the defaults, reads the site and the modules to simulate, loads the
// plug-in and puts the simulated modules on their lines. False after one
// problem line.
bool ReadInputs(RunOptions& options, const Console& console, Inputs& in) {
    const std::string examples = BATTERY32_EXAMPLES_DIR;
    if (options.simulate && options.site_path.empty()) options.site_path = examples + "/site.json";
    if (options.simulate && options.sim_path.empty() &&
        ::access((examples + "/sim.json").c_str(), R_OK) == 0) {
        options.sim_path = examples + "/sim.json";
    }
    if (options.plugin_path.empty()) options.plugin_path = DefaultPluginPath();
    try {
        in.site = ReadSiteFile(options.site_path);
        module_sim::SimConfig modules;
        if (options.simulate && !options.sim_path.empty()) {
            modules = module_sim::ReadSimConfigFile(options.sim_path);
        }
        in.plugin.emplace(options.plugin_path);
        if (options.simulate) in.simulated.SetUp(in.site, modules, options.sim_baud);
    } catch (const std::exception& e) {
        console.Problem(e.what());
        return false;
    }
    return true;
}

void AnnounceSimulation(const RunOptions& options, const Inputs& in, const Console& console) {
    if (!options.simulate) return;
    console.Note("trying the plug-in on simulated battery modules (no hardware needed)");
    if (!options.sim_path.empty()) console.Note("simulated modules from " + options.sim_path);
    for (const auto& line : in.simulated.Describe()) console.Note("simulated " + line);
}

void AnnouncePlan(const RunOptions& options, const Inputs& in, const Console& console) {
    std::set<std::string> ports;
    for (const auto& d : in.site.devices) ports.insert(d.port);
    console.Note("plug-in " + in.plugin->path());
    console.Note("site " + in.site.path + ": " +
                 Plural(in.site.devices.size(), "device", "devices") + " on " +
                 Plural(ports.size(), "port", "ports") + ", polled " +
                 (options.tick_ms > 0 ? "every " + std::to_string(options.tick_ms) + " ms"
                                      : std::string("back to back")) +
                 (options.rounds
                      ? ", stopping after " + Plural(options.rounds, "round", "rounds") + " of each"
                      : ", until Ctrl-C"));
    if (!options.history) {
        console.Note("no history or cache kept (--no-history)");
    } else {
        console.Note("history in " + options.data_dir + "/device-<data id>.history " +
                     (options.history_every_round ? "every round" : "at each device's interval") +
                     " (battery32-run decode FILE shows one), the newest record in "
                     "device-<data id>.cache");
    }
}

// Where the device's own lines go: -1 for nowhere; with `error` set when the
// log file cannot be opened.
int DeviceLogFd(const RunOptions& o, const Console& console, std::string* error) {
    if (o.device_log == "off") return -1;
    if (o.device_log == "stderr") return STDERR_FILENO;
    if (o.device_log == "stdout") return console.records_fd();
    if (o.device_log.empty()) return o.json ? STDERR_FILENO : console.records_fd();
    const int fd = ::open(o.device_log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) *error = "device log " + o.device_log + ": " + std::strerror(errno);
    return fd;
}

// The web view --http asks for, taking the runner's rounds: null after the
// problem line when it cannot start.
std::unique_ptr<HttpView> StartWebView(const RunOptions& options, const Console& console,
                                       Runner& runner) {
    std::string error;
    auto view = HttpView::Start(
        {options.http_listen, options.http_token_path, options.data_dir},
        [&runner] { return runner.Statuses(); }, &error);
    if (!view) {
        console.Problem(error);
        return nullptr;
    }
    runner.AddOutput(*view);
    runner.AddParticipant(*view);
    console.Note("web view at " + view->Url() +
                 (options.http_token_path.empty()
                      ? ""
                      : " (token from " + options.http_token_path + ": add ?token=...)"));
    if (view->ChartLibrary().empty()) {
        console.Note("web view: no chart library found (libjs-chart.js); history charts are off");
    }
    return view;
}

// The runner with its outputs: the round lines first, then the web view and
// the broker when asked for.
int PollWithOutputs(const RunOptions& options, const Console& console, Inputs& in,
                    DeviceChatter& chatter, MqttHookup& mqtt, int stop_fd) {
    RoundLines lines(console, options.json, options.verbose);
    Runner runner(options, console, chatter);
    runner.AddOutput(lines);
    std::unique_ptr<HttpView> view;
    if (!options.http_listen.empty()) view = StartWebView(options, console, runner);
    mqtt.Attach(runner);
    const bool view_failed = !options.http_listen.empty() && !view;
    const int status = view_failed ? kExitCannotRun : runner.PollSite(in.site, *in.plugin, stop_fd);
    mqtt.Finish();
    if (view) console.Note(view->Summary());
    return status;
}

// Plays the host for the site's devices, as the options say, until `stop_fd`
// becomes readable: reads and announces the run, points the device's own
// output where it belongs and polls. Returns the exit status.
int PlayHost(const Console& console, RunOptions& options, int stop_fd) {
    Inputs in;
    if (!ReadInputs(options, console, in)) return kExitCannotRun;
    AnnounceSimulation(options, in, console);
    MqttHookup mqtt;
    if (const std::string error = mqtt.Prepare(options, console); !error.empty()) {
        console.Problem(error);
        return kExitCannotRun;
    }
    AnnouncePlan(options, in, console);
    std::string log_error;
    const int device_log_fd = DeviceLogFd(options, console, &log_error);
    if (!log_error.empty()) {
        console.Problem(log_error);
        return kExitCannotRun;
    }
    console.Note(
        device_log_fd < 0
            ? "the device's own diagnostic lines are hidden (without --quiet-device they show)"
            : "the device's own diagnostic lines are shown indented, as \"  <data id>> ...\"");
    DeviceChatter chatter;
    const std::string chatter_error = chatter.Begin(device_log_fd);
    if (!chatter_error.empty()) {
        console.Problem("device output stays mixed in: cannot redirect it (" + chatter_error + ")");
    }
    const int status = PollWithOutputs(options, console, in, chatter, mqtt, stop_fd);
    chatter.End();
    in.simulated.Stop();
    if (device_log_fd > STDERR_FILENO && device_log_fd != console.records_fd()) {
        ::close(device_log_fd);
    }
    return status;
}

}  // namespace

int RunnerMain(int argc, char** argv) {
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    ParsedCommandLine parsed = ParseCommandLine(args);
    const Console plain(STDOUT_FILENO, STDERR_FILENO, false);  // until the run sets one up
    switch (parsed.action) {
        case ParsedCommandLine::Action::kHelp:
            plain.Record(UsageText());
            return kExitOk;
        case ParsedCommandLine::Action::kError:
            plain.Problem(parsed.error + " (--help lists the options)");
            return kExitUsage;
        case ParsedCommandLine::Action::kDecode:
            return DecodeHistory(parsed.decode);
        case ParsedCommandLine::Action::kRun:
            break;
    }
    if (!parsed.run.mqtt.url.empty() && MqttHookup::Absent()) {
        plain.Problem(std::string("--mqtt: ") + MqttHookup::Absent());
        return kExitUsage;
    }
    if (!parsed.run.http_listen.empty() && HttpView::Absent()) {
        plain.Problem(std::string("--http: ") + HttpView::Absent());
        return kExitUsage;
    }
    ::signal(SIGPIPE, SIG_IGN);  // a closed reader of our output must not kill the poller
    // Before any thread starts (simulated lines, the web view, name lookups):
    // each of them must block the stop signals, so that they reach the loop.
    const stop_signals::StopSignals stop;
    // The records stream keeps pointing at stdout while the device's output is redirected.
    const int records_fd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (records_fd < 0) return kExitCannotRun;
    const int status =
        PlayHost(Console(records_fd, STDERR_FILENO, parsed.run.json), parsed.run, stop.fd());
    ::close(records_fd);
    return status;
}

}  // namespace runner
