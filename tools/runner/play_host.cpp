#include "tools/runner/play_host.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "tools/alarm_log/alarm_log_file.h"
#include "tools/common/exit_status.h"
#include "tools/runner/host/device_chatter.h"
#include "tools/runner/host/plugin.h"
#include "tools/runner/host/simulated_lines.h"
#include "tools/runner/loop/event_loop.h"
#include "tools/runner/loop/outlet_drain.h"
#include "tools/runner/loop/signal_watch.h"
#include "tools/runner/make_outputs.h"
#include "tools/runner/polling/site_poller.h"
#include "tools/runner/polling/site_reload.h"
#include "tools/runner/site/site.h"

namespace runner {
namespace {

// What the options name, read and loaded before anything is announced.
struct Inputs {
    site::Site site;
    std::optional<host::Plugin> plugin;
    host::SimulatedLines simulated;
};

// Says each warning about the input files; with --strict they stop the run.
bool WarningsAllowed(const std::vector<std::string>& warnings, bool strict,
                     const console::Console& console) {
    for (const std::string& warning : warnings) console.Problem(warning);
    if (!strict || warnings.empty()) return true;
    console.Problem(std::string("not started: --strict makes ") +
                    (warnings.size() == 1
                         ? "the warning above an error"
                         : "the " + std::to_string(warnings.size()) + " warnings above errors"));
    return false;
}

// Reads the site and the modules to simulate, loads the plug-in and puts the
// simulated modules on their lines. False after one problem line (or the
// warnings --strict refuses).
bool ReadInputs(const RunOptions& options, const console::Console& console, Inputs& in) {
    try {
        in.site = site::ReadSiteFile(options.site_path);
        sim::SimConfig modules;
        if (options.simulate && !options.sim_path.empty()) {
            modules = sim::ReadSimConfigFile(options.sim_path);
        }
        std::vector<std::string> warnings = in.site.warnings;
        warnings.insert(warnings.end(), modules.warnings.begin(), modules.warnings.end());
        if (!WarningsAllowed(warnings, options.strict, console)) return false;
        in.plugin.emplace(options.plugin_path);
        if (options.simulate) in.simulated.SetUp(in.site, modules, options.sim_baud);
    } catch (const std::exception& e) {
        console.Problem(e.what());
        return false;
    }
    return true;
}

void AnnounceSimulation(const RunOptions& options, const Inputs& in,
                        const console::Console& console) {
    if (!options.simulate) return;
    console.Note("trying the plug-in on simulated battery modules (no hardware needed)");
    if (!options.sim_path.empty()) console.Note("simulated modules from " + options.sim_path);
    for (const auto& line : in.simulated.Describe()) console.Note("simulated " + line);
}

void AnnouncePlan(const RunOptions& options, const Inputs& in, const console::Console& console) {
    std::set<std::string> ports;
    for (const auto& d : in.site.devices) ports.insert(d.port);
    console.Note("plug-in " + in.plugin->path());
    console.Note(
        "site " + in.site.path + ": " +
        console::Count(in.site.devices.size(), "device", "devices") + " on " +
        console::Count(ports.size(), "port", "ports") + ", polled " +
        (options.tick_ms > 0 ? "every " + std::to_string(options.tick_ms) + " ms"
                             : std::string("back to back")) +
        (options.rounds
             ? ", stopping after " + console::Count(options.rounds, "round", "rounds") + " of each"
             : ", until Ctrl-C"));
    if (!options.history) {
        console.Note("no history, cache or energy counters kept (--no-history)");
    } else {
        console.Note("history in " + options.data_dir + "/device-<data id>.history " +
                     (options.history_every_round ? "every round" : "at each device's interval") +
                     " (battery32-run decode FILE shows one), the newest record in "
                     "device-<data id>.cache, the energy counters in device-<data id>.energy");
    }
}

// A file of the device's own lines (--device-log FILE).
struct DeviceLogFile {
    int fd = -1;
    std::unique_ptr<console::Outlet> outlet;
    ~DeviceLogFile() {
        if (outlet) console::Outlet::DrainAll({outlet.get()}, std::chrono::milliseconds(500));
        outlet.reset();
        if (fd >= 0) ::close(fd);
    }
};

// Where the device's own lines go: null for nowhere; `error` is set when the
// log file cannot be opened.
console::Outlet* DeviceLog(const RunOptions& o, const console::Console& console,
                           DeviceLogFile& file, std::string* error) {
    if (o.device_log == "off") return nullptr;
    if (o.device_log == "stderr") return console.errors_outlet();
    if (o.device_log == "stdout") return console.records_outlet();
    if (o.device_log.empty()) return o.json ? console.errors_outlet() : console.records_outlet();
    // Without blocking: a FIFO nobody reads is refused instead of waited on.
    file.fd = ::open(o.device_log.c_str(),
                     O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
    if (file.fd < 0) {
        *error = "device log " + o.device_log + ": " + std::strerror(errno);
        return nullptr;
    }
    file.outlet = std::make_unique<console::Outlet>(file.fd, "device log " + o.device_log, "");
    return file.outlet.get();
}

// The alarms the data folder's alarm log says were active at the last stop.
std::vector<outputs::AlarmChange> ActiveAtLastStop(const RunOptions& options,
                                                   const console::Console& console) {
    if (!options.history) return {};
    try {
        return alarm_log::ActiveAtEnd(alarm_log::ReadLog(alarm_log::LogPath(options.data_dir)))
            .list();
    } catch (const std::exception& e) {
        console.Problem(std::string(e.what()) + "; alarms active at the last stop are not known");
        return {};
    }
}

// Sets the site up and polls it, reloading it when asked, until the loop
// ends; returns the exit status.
int PollSite(const RunOptions& options, const console::Console& console, const site::Site& site,
             const host::Plugin& plugin, const host::SimulatedLines* simulated,
             polling::SitePoller& poller, outputs::Outputs& outputs, int signal_fd) {
    if (!poller.SetUp(site, plugin, outputs.history())) return exit_status::kCannotRun;
    loop::EventLoop loop;
    loop::SignalWatch signals(signal_fd, loop);
    loop.Add(signals);
    polling::SiteReload reload(options, console, plugin, simulated, poller, outputs, site);
    loop.OnReload([&reload] { reload.Run(); });
    loop::OutletDrain drain(
        {console.records_outlet(), console.errors_outlet(), poller.chatter().destination()});
    loop.Add(drain);
    if (!poller.Start(loop)) return exit_status::kCannotRun;
    outputs.JoinLoop(loop);
    outputs.Start(poller.devices());
    poller.RestoreAlarms(ActiveAtLastStop(options, console));
    const auto deadline =
        options.time_limit_s > 0
            ? loop::Clock::now() + std::chrono::duration_cast<loop::Clock::duration>(
                                       std::chrono::duration<double>(options.time_limit_s))
            : loop::Clock::time_point::max();
    const auto ending = loop.Run(deadline);
    if (ending == loop::EventLoop::Ending::kWaitFailed) {
        console.Problem("waiting for the lines failed: " + loop.error());
    }
    return poller.Finish(ending);
}

}  // namespace

int PlayHost(const console::Console& console, const RunOptions& options, int stop_fd) {
    Inputs in;
    if (!ReadInputs(options, console, in)) return exit_status::kCannotRun;
    AnnounceSimulation(options, in, console);
    AnnouncePlan(options, in, console);
    std::string log_error;
    DeviceLogFile log_file;
    console::Outlet* const device_log = DeviceLog(options, console, log_file, &log_error);
    if (!log_error.empty()) {
        console.Problem(log_error);
        return exit_status::kCannotRun;
    }
    console.Note(
        device_log == nullptr
            ? "the device's own diagnostic lines are hidden (without --quiet-device they show)"
            : "the device's own diagnostic lines are shown indented, as \"  <data id>> ...\"");
    host::DeviceChatter chatter;
    const std::string chatter_error = chatter.Begin(device_log);
    if (!chatter_error.empty()) {
        console.Problem("device output stays mixed in: cannot redirect it (" + chatter_error + ")");
    }
    const int status = PollWithOutputs(options, console, in.site, *in.plugin, chatter, stop_fd,
                                       nullptr, options.simulate ? &in.simulated : nullptr);
    chatter.End();
    in.simulated.Stop();
    if (options.simulate) {
        console.Note("simulated lines: " +
                     console::Count(in.simulated.collisions(), "collision", "collisions") +
                     " (commands that talked over a reply)");
    }
    return status;
}

int PollWithOutputs(const RunOptions& options, const console::Console& console,
                    const site::Site& site, const host::Plugin& plugin,
                    host::DeviceChatter& chatter, int stop_fd,
                    std::vector<outputs::DeviceStatus>* final,
                    const host::SimulatedLines* simulated) {
    std::unique_ptr<outputs::Outputs> outputs = MakeOutputs(options, console, site.name);
    if (!outputs) return exit_status::kCannotRun;
    polling::SitePoller poller(options, console, chatter, *outputs);
    const int status =
        PollSite(options, console, site, plugin, simulated, poller, *outputs, stop_fd);
    outputs->Finish();
    outputs.reset();  // before the poller: the outputs read its devices to the end
    if (final != nullptr) {
        for (const outputs::DeviceStatus* d : poller.devices()) final->push_back(*d);
    }
    return status;
}

}  // namespace runner
