#pragma once
// --simulate: every serial line of the site is replaced by a pseudo-terminal
// whose other end is worked by simulated modules, one per device address on it.

#include <memory>
#include <string>
#include <vector>

#include "tools/runner/site/site.h"
#include "tools/sim/line_driver.h"
#include "tools/sim/pty_pair.h"
#include "tools/sim/sim_config.h"

namespace runner::host {

class SimulatedLines {
public:
    ~SimulatedLines();

    // Creates the pseudo-terminals and modules and points the site's devices at
    // them. Modules missing from `config` get module::DefaultModule. With
    // `baud` > 0 the lines keep that speed's timing (0: replies at once).
    // Throws std::runtime_error (e.g. no pseudo-terminal available).
    void SetUp(site::Site& site, const sim::SimConfig& config, int baud = 0);
    // The site read again while the lines run: its devices and port settings
    // are pointed at the pseudo-terminals, as SetUp did. "" or why they cannot
    // be: a device on a port, or at an address, no simulated module stands in
    // for (the modules are made at start).
    std::string Redirect(site::Site& site) const;
    // One line per pseudo-terminal: "modules 0x01, 0x02 on /dev/pts/3 (in place of /dev/ttyS1)".
    // The site's port settings move to the pseudo-terminals, without RS-485 mode.
    std::vector<std::string> Describe() const;
    // Commands that talked over an exchange in progress, on all lines.
    std::uint64_t collisions() const;
    // The runner's waits from an answer's end to its next command, on all lines.
    module::HalfDuplexLine::Idle reply_to_command() const;
    void Stop();

private:
    struct Line {
        std::string replaced;
        std::unique_ptr<sim::PtyPair> pty;
        std::unique_ptr<sim::LineDriver> driver;
        std::vector<std::uint8_t> addresses;
        bool rs485_dropped = false;  // the site file sets RS-485 mode on the port replaced
    };
    const Line* LineFor(const std::string& port) const;

    std::vector<Line> lines_;
};

}  // namespace runner::host
