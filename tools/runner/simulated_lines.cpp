#include "tools/runner/simulated_lines.h"

#include <cstdio>
#include <map>
#include <stdexcept>

namespace runner {

SimulatedLines::~SimulatedLines() { Stop(); }

void SimulatedLines::SetUp(Site& site, const module_sim::SimConfig& config, int baud) {
    std::map<std::string, std::size_t> line_of_port;
    for (SiteDevice& device : site.devices) {
        auto found = line_of_port.find(device.port);
        if (found == line_of_port.end()) {
            Line line;
            line.replaced = device.port;
            try {
                line.pty = std::make_unique<module_sim::PtyPair>();
            } catch (const std::exception& e) {
                throw std::runtime_error(std::string("cannot create a pseudo-terminal: ") + e.what());
            }
            found = line_of_port.emplace(device.port, lines_.size()).first;
            lines_.push_back(std::move(line));
        }
        Line& line = lines_[found->second];
        line.addresses.push_back(device.address);
        device.port = line.pty->slave_path();
    }
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        module_sim::ModuleSimulator simulator(config.seed + i);
        for (std::uint8_t address : lines_[i].addresses) {
            module_sim::ModuleConfig module = module_sim::DefaultModule(address);
            for (const auto& m : config.modules)
                if (m.address == address) module = m;
            simulator.AddModule(module);
        }
        lines_[i].driver = std::make_unique<module_sim::LineDriver>(lines_[i].pty->master_fd(),
                                                                    std::move(simulator), baud);
        lines_[i].driver->Start();
    }
}

std::vector<std::string> SimulatedLines::Describe() const {
    std::vector<std::string> out;
    for (const Line& line : lines_) {
        std::string text = line.addresses.size() == 1 ? "module " : "modules ";
        for (std::size_t k = 0; k < line.addresses.size(); ++k) {
            char a[8];
            std::snprintf(a, sizeof a, "0x%02X", line.addresses[k]);
            text += (k ? ", " : "") + std::string(a);
        }
        const int baud = line.driver ? line.driver->baud() : 0;
        out.push_back(text + " on pseudo-terminal " + line.pty->slave_path() + " (in place of " +
                      line.replaced + "), " +
                      (baud > 0 ? "paced as a " + std::to_string(baud) + "-baud line"
                                : "answering at once"));
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

std::uint64_t SimulatedLines::commands_heard() const {
    std::uint64_t n = 0;
    for (const Line& line : lines_) {
        if (!line.driver) continue;
        n += line.driver->WithSimulator([](module_sim::ModuleSimulator& sim) {
            std::uint64_t heard = sim.ignored_commands();
            for (const auto a : sim.Addresses()) {
                for (const auto& c : sim.Stats(a).commands) heard += c.second;
            }
            return heard;
        });
    }
    return n;
}

void SimulatedLines::Stop() {
    for (Line& line : lines_) {
        if (line.driver) line.driver->Stop();
    }
}

}  // namespace runner
