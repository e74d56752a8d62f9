#include "tools/runner/host/simulated_lines.h"

#include <algorithm>
#include <map>
#include <stdexcept>

namespace runner::host {
namespace {

std::unique_ptr<sim::PtyPair> NewPty() {
    try {
        return std::make_unique<sim::PtyPair>();
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("cannot create a pseudo-terminal: ") + e.what());
    }
}

}  // namespace

SimulatedLines::~SimulatedLines() { Stop(); }

void SimulatedLines::SetUp(site::Site& site, const sim::SimConfig& config, int baud) {
    for (const site::SiteDevice& device : site.devices) {
        if (LineFor(device.port) == nullptr)
            lines_.push_back(Line{device.port, NewPty(), nullptr, {}, false});
        for (Line& line : lines_)
            if (line.replaced == device.port) line.addresses.push_back(device.address);
    }
    for (Line& line : lines_) {
        const auto settings = site.ports.find(line.replaced);
        line.rs485_dropped = settings != site.ports.end() && settings->second.rs485.has_value();
    }
    Redirect(site);
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        module::ModuleSimulator simulator(config.seed + i);
        for (std::uint8_t address : lines_[i].addresses) {
            module::ModuleConfig configured = module::DefaultModule(address);
            for (const auto& m : config.modules)
                if (m.address == address) configured = m;
            simulator.AddModule(configured);
        }
        lines_[i].driver = std::make_unique<sim::LineDriver>(
            lines_[i].pty->master_fd(), std::move(simulator), baud, config.echo);
        lines_[i].driver->Start();
    }
}

const SimulatedLines::Line* SimulatedLines::LineFor(const std::string& port) const {
    for (const Line& line : lines_)
        if (line.replaced == port) return &line;
    return nullptr;
}

std::string SimulatedLines::Redirect(site::Site& site) const {
    for (site::SiteDevice& device : site.devices) {
        const Line* line = LineFor(device.port);
        const std::string who = "device " + site::DeviceLabel(device) + ": ";
        if (line == nullptr)
            return who + "no simulated line stands in for " + device.port +
                   " (--simulate makes them at start)";
        if (std::find(line->addresses.begin(), line->addresses.end(), device.address) ==
            line->addresses.end())
            return who + "no simulated module answers at " + site::AddressText(device.address) +
                   " on " + device.port + " (--simulate makes them at start)";
        device.port = line->pty->slave_path();
    }
    // The port settings follow their lines; a pseudo-terminal has no RS-485 mode to set.
    std::map<std::string, line::PortSettings> ports;
    for (auto& [path, settings] : site.ports) {
        const Line* line = LineFor(path);
        if (line == nullptr) continue;  // no device is on it: the site reader refuses that
        settings.rs485.reset();
        ports[line->pty->slave_path()] = settings;
    }
    site.ports = std::move(ports);
    return "";
}

std::vector<std::string> SimulatedLines::Describe() const {
    std::vector<std::string> out;
    for (const Line& line : lines_) {
        std::string text = line.addresses.size() == 1 ? "module " : "modules ";
        for (std::size_t k = 0; k < line.addresses.size(); ++k) {
            text += (k ? ", " : "") + site::AddressText(line.addresses[k]);
        }
        const int baud = line.driver ? line.driver->baud() : 0;
        out.push_back(
            text + " on pseudo-terminal " + line.pty->slave_path() + " (in place of " +
            line.replaced + "), " +
            (baud > 0 ? "paced as a " + std::to_string(baud) + "-baud line" : "answering at once") +
            (line.driver && line.driver->echoes() ? ", echoing what is sent" : "") +
            (line.rs485_dropped ? "; its RS-485 mode is not set on a pseudo-terminal" : ""));
    }
    return out;
}

std::uint64_t SimulatedLines::collisions() const {
    std::uint64_t n = 0;
    for (const Line& line : lines_) {
        if (line.driver) n += line.driver->collisions();
    }
    return n;
}

module::HalfDuplexLine::Idle SimulatedLines::reply_to_command() const {
    module::HalfDuplexLine::Idle all;
    for (const Line& line : lines_) {
        if (!line.driver) continue;
        const auto idle = line.driver->reply_to_command();
        all.count += idle.count;
        all.total += idle.total;
        all.longest = std::max(all.longest, idle.longest);
    }
    return all;
}

void SimulatedLines::Stop() {
    for (Line& line : lines_) {
        if (line.driver) line.driver->Stop();
    }
}

}  // namespace runner::host
