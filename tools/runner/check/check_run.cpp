#include "tools/runner/check/check_run.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <map>
#include <optional>
#include <set>

#include "tools/common/exit_status.h"
#include "tools/common/serial_port.h"
#include "tools/runner/data_folder/data_folder.h"
#include "tools/runner/host/device_chatter.h"
#include "tools/runner/host/host_services.h"
#include "tools/runner/host/site_devices.h"
#include "tools/sim/sim_config.h"

namespace runner::check {
namespace {

// The devices are only set up: nothing they could ask of the host happens.
class NoEvents : public host::DeviceEvents {
public:
    bool Send(const ZorSPDevice&, const std::uint8_t*, std::size_t) override { return false; }
    void Published(const ZorVDevice&, int, const std::uint8_t*, std::size_t) override {}
    void Saved(const ZorVDevice&, const std::uint8_t*, std::size_t, int) override {}
    void Checked(const ZorVDevice&, const std::string&, const std::string&, float, int) override {}
};

// What was found, problem by problem, and what the summary says of each part.
struct Findings {
    explicit Findings(const console::Console& c) : console(c) {}

    const console::Console& console;
    std::size_t problems = 0;
    std::size_t warnings = 0;  // said, and let through (no --strict)
    std::vector<std::string> checked;

    void Problem(const std::string& line) {
        console.Problem(line);
        ++problems;
    }
};

// Each port the devices are on must be there and usable by this user.
void CheckPorts(const site::Site& site, Findings& found) {
    const std::vector<std::string> problems = PortProblems(site);
    for (const std::string& problem : problems) found.Problem(problem);
    if (!problems.empty()) return;
    std::set<std::string> ports;
    for (const site::SiteDevice& d : site.devices) ports.insert(d.port);
    found.checked.push_back(console::Count(ports.size(), "port", "ports") + " there");
}

void CheckDataFolder(const RunOptions& options, const site::Site* site, Findings& found) {
    if (!options.history) {
        found.checked.push_back("no data folder (--no-history)");
        return;
    }
    std::vector<std::uint32_t> ids;
    if (site != nullptr)
        for (const site::SiteDevice& d : site->devices) ids.push_back(d.data_id);
    const std::vector<std::string> problems = data_folder::FolderProblems(options.data_dir, ids);
    for (const std::string& problem : problems) found.Problem(problem);
    if (!problems.empty()) return;
    const bool exists = ::access(options.data_dir.c_str(), F_OK) == 0;
    found.checked.push_back("data folder " + options.data_dir +
                            (exists ? " writable" : " can be made"));
}

// A file for the device's own lines must be one this user may write or make.
void CheckDeviceLog(const std::string& where, Findings& found) {
    if (where.empty() || where == "off" || where == "stdout" || where == "stderr") return;
    const bool exists = ::access(where.c_str(), F_OK) == 0;
    const std::string folder = where.find('/') == std::string::npos
                                   ? std::string(".")
                                   : where.substr(0, std::max<std::size_t>(where.rfind('/'), 1));
    if (::access(exists ? where.c_str() : folder.c_str(), exists ? W_OK : W_OK | X_OK) != 0)
        found.Problem("device log " + where + ": cannot be written (" + std::strerror(errno) + ")");
}

// Warnings are said as a run says them; with --strict each is a problem.
void Warn(const std::vector<std::string>& warnings, bool strict, Findings& found) {
    for (const std::string& warning : warnings) {
        if (strict) {
            found.Problem(warning);
        } else {
            found.console.Problem(warning);
            ++found.warnings;
        }
    }
}

// The site file, and with --simulate the simulated modules; null when the site cannot be read.
std::optional<site::Site> ReadInputs(const RunOptions& options, Findings& found) {
    std::optional<site::Site> site;
    try {
        site = site::ReadSiteFile(options.site_path);
        Warn(site->warnings, options.strict, found);
    } catch (const std::exception& e) {
        found.Problem(e.what());
    }
    if (options.simulate && !options.sim_path.empty()) {
        try {
            Warn(sim::ReadSimConfigFile(options.sim_path).warnings, options.strict, found);
        } catch (const std::exception& e) {
            found.Problem(e.what());
        }
    }
    return site;
}

void CheckDevices(const RunOptions& options, const site::Site& site, Findings& found) {
    try {
        const host::Plugin plugin(options.plugin_path);
        const std::size_t refused = RefusedSettings(site, plugin, found.console);
        found.problems += refused;
        if (refused == 0) {
            found.checked.push_back("their settings taken by " + plugin.path());
        }
    } catch (const std::exception& e) {
        found.Problem(e.what());
    }
}

}  // namespace

std::size_t RefusedSettings(const site::Site& site, const host::Plugin& plugin,
                            const console::Console& console, std::vector<std::string>* refusals) {
    // Shown as a start shows them, the device's trace lines would bury the result.
    host::DeviceChatter chatter;
    chatter.Begin(nullptr);
    NoEvents events;
    host::HostServices services(events, chatter);
    std::size_t refused = 0;
    {
        host::SiteDevices devices(console, chatter, services);
        for (const site::SiteDevice& entry : site.devices) {
            std::string refusal;
            if (devices.Add(entry, plugin, site.lost_communication_level,
                            refusals != nullptr ? &refusal : nullptr) != nullptr)
                continue;
            ++refused;
            if (refusals != nullptr) refusals->push_back(refusal);
        }
    }
    chatter.End();
    return refused;
}

std::vector<std::string> PortProblems(const site::Site& site, const std::set<std::string>& skip) {
    std::map<std::string, std::string> users;  // port: the ids of the devices on it
    for (const site::SiteDevice& d : site.devices) {
        if (skip.count(d.port) != 0) continue;
        std::string& list = users[d.port];
        list += (list.empty() ? "" : ", ") + std::to_string(d.data_id);
    }
    std::vector<std::string> problems;
    for (const auto& [port, devices] : users) {
        if (const std::string problem = serial_port::PresenceProblem(port); !problem.empty())
            problems.push_back("port " + port + ": " + problem + "; used by " + devices);
    }
    return problems;
}

int CheckRun(RunOptions options, const console::Console& console) {
    Findings found(console);
    for (const std::string& problem : ResolveOptions(options, console)) found.Problem(problem);
    CheckDeviceLog(options.device_log, found);
    const std::optional<site::Site> site = ReadInputs(options, found);
    if (site) {
        found.checked.push_back("site " + site->path + ": " +
                                console::Count(site->devices.size(), "device", "devices"));
        CheckDevices(options, *site, found);
        if (options.simulate) {
            found.checked.push_back("ports simulated");
        } else {
            CheckPorts(*site, found);
        }
    }
    CheckDataFolder(options, site ? &*site : nullptr, found);
    if (found.problems > 0) return exit_status::kCannotRun;
    if (found.warnings > 0)
        found.checked.push_back(console::Count(found.warnings, "warning", "warnings") +
                                " above (--strict refuses them)");
    std::string summary;
    for (const std::string& part : found.checked) summary += (summary.empty() ? "" : "; ") + part;
    console.Note("check passed: " + summary + " (nothing was started)");
    return exit_status::kOk;
}

}  // namespace runner::check
