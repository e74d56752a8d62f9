// battery-module-sim: answers as one or more battery monitor modules on a
// pseudo-terminal (default) or a real serial port, until interrupted.

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/command_line.h"
#include "tools/common/console/console.h"
#include "tools/common/json_input.h"
#include "tools/common/serial_port.h"
#include "tools/common/stop_signals.h"
#include "tools/common/version.h"
#include "tools/sim/line_driver.h"
#include "tools/sim/pty_pair.h"
#include "tools/sim/sim_config.h"

namespace {

struct Arguments {
    std::string config_path, link_path, port_path, seed_text, baud_text;
    std::vector<std::string> addresses;
    bool echo = false;
    bool help = false;
    bool version = false;
};

// The options in the order the usage lists them, writing into `a`.
std::vector<command_line::Option> SimOptions(Arguments* a) {
    using command_line::Text;
    return {
        {"config", "FILE", "modules, readings and faults (JSON; see README.md)", nullptr,
         Text(&a->config_path)},
        {"address", "A", "add a default module at wire address A (0..255, or 0x..)", nullptr,
         [a](const std::string& text, std::string*) {
             a->addresses.push_back(text);
             return true;
         }},
        {"pty", nullptr, "serve on a new pseudo-terminal and print its path (default)", nullptr,
         [a](const std::string&, std::string*) {
             a->port_path.clear();
             return true;
         }},
        {"link", "PATH", "also make PATH a symbolic link to that pseudo-terminal", nullptr,
         Text(&a->link_path)},
        {"port", "PATH", "serve on a real serial port instead", nullptr, Text(&a->port_path)},
        {"baud", "N",
         "line speed: on the pseudo-terminal, its timing (bytes take\n"
         "their line time, the line is half duplex and collisions are\n"
         "counted; default: no timing); on --port, the port's speed\n"
         "(default 19200)",
         nullptr, Text(&a->baud_text)},
        {"echo", nullptr,
         "send back what the host sends, as an adapter that hears\n"
         "its own transmission (also \"echo\": true in the file)",
         nullptr, command_line::Flag(&a->echo)},
        {"seed", "N", "seed for noise and random faults (overrides the file)", nullptr,
         Text(&a->seed_text)},
        {"version", nullptr, "print the version and exit", nullptr,
         command_line::Flag(&a->version)},
        {"help", nullptr, nullptr, nullptr, command_line::Flag(&a->help), 'h'},
    };
}

int Fail(const std::string& message, int status = 1) {
    std::fprintf(stderr, "battery-module-sim: %s\n", message.c_str());
    return status;
}

// The modules to serve: the file's, default ones for --address, the seed.
// --address and --seed read as the file's "address" and "seed" do (0x.. too).
sim::SimConfig ReadModules(const Arguments& a) {
    sim::SimConfig config;
    if (!a.config_path.empty()) config = sim::ReadSimConfigFile(a.config_path);
    for (const std::string& warning : config.warnings)
        std::fprintf(stderr, "battery-module-sim: %s\n", warning.c_str());
    Json::Value given(Json::objectValue);
    for (const std::string& text : a.addresses) {
        given["--address"] = text;
        const auto address =
            static_cast<std::uint8_t>(json_input::RequireInteger(given, "--address", "", 0, 255));
        bool known = false;
        for (const auto& m : config.modules) known = known || m.address == address;
        if (!known) config.modules.push_back(module::DefaultModule(address));
    }
    if (a.echo) config.echo.on = true;
    if (!a.seed_text.empty()) {
        given["--seed"] = a.seed_text;
        config.seed = static_cast<std::uint64_t>(
            json_input::RequireInteger(given, "--seed", "", 0, INT64_MAX));
    }
    return config;
}

struct Line {
    std::unique_ptr<sim::PtyPair> pty;  // null on a real port
    int fd = -1;
    std::string where;
};

// The pseudo-terminal (linked where --link says) or the real port; "" or why not.
std::string OpenLine(const Arguments& a, int baud, Line* line) {
    if (!a.port_path.empty()) {
        // A real port keeps its own time: the simulator adds none.
        const serial_port::OpenResult port =
            serial_port::Open(a.port_path, baud > 0 ? baud : 19200);
        if (port.fd < 0) return "port " + a.port_path + ": " + port.error;
        line->fd = port.fd;
        line->where = a.port_path;
        return "";
    }
    try {
        line->pty = std::make_unique<sim::PtyPair>();
    } catch (const std::exception& e) {
        return std::string("cannot create a pseudo-terminal: ") + e.what();
    }
    line->fd = line->pty->master_fd();
    line->where = line->pty->slave_path();
    if (a.link_path.empty()) return "";
    const std::string error = sim::LinkPath(line->where, a.link_path);
    if (error.empty()) line->where += " (also " + a.link_path + ")";
    return error;
}

void PrintCounts(sim::LineDriver& driver) {
    driver.WithSimulator([](module::ModuleSimulator& sim) {
        for (auto a : sim.Addresses()) {
            const auto stats = sim.Stats(a);
            std::uint64_t commands = 0;
            for (const auto& c : stats.commands) commands += c.second;
            std::uint64_t faults = 0;
            for (const auto& f : stats.faults) faults += f.second;
            std::printf("battery-module-sim: 0x%02X: %s, %s, %s\n", a,
                        console::Count(commands, "command", "commands").c_str(),
                        console::Count(stats.replies, "reply", "replies").c_str(),
                        console::Count(faults, "fault", "faults").c_str());
        }
    });
    if (driver.baud() > 0) {
        std::printf("battery-module-sim: %llu collisions on the line\n",
                    static_cast<unsigned long long>(driver.collisions()));
    }
}

// Serves the modules on the line until a stop signal is pending on `stop_fd`.
void Serve(module::ModuleSimulator simulator, const Line& line, int baud, module::LineEcho echo,
           int stop_fd) {
    std::string list;
    for (auto a : simulator.Addresses()) {
        char text[8];
        std::snprintf(text, sizeof text, "%s0x%02X", list.empty() ? "" : ", ", a);
        list += text;
    }
    const int timed_baud = line.pty ? baud : 0;
    const std::string timing =
        (timed_baud > 0 ? " with " + std::to_string(timed_baud) + "-baud line timing" : "") +
        std::string(echo.on ? ", echoing what the host sends" : "");
    std::printf("battery-module-sim: modules %s answering on %s%s; Ctrl-C stops\n", list.c_str(),
                line.where.c_str(), timing.c_str());
    std::fflush(stdout);

    sim::LineDriver driver(line.fd, std::move(simulator), timed_baud, echo);
    driver.Start();
    pollfd stop{stop_fd, POLLIN, 0};
    while (::poll(&stop, 1, -1) < 0 && errno == EINTR) {
    }
    driver.Stop();
    PrintCounts(driver);
}

}  // namespace

int main(int argc, char** argv) {
    // Before the line driver's thread starts, so that it blocks them as well.
    const stop_signals::StopSignals stop;
    Arguments arguments;
    const std::vector<command_line::Option> options = SimOptions(&arguments);
    const std::string fault = command_line::Walk({argv + (argc > 0 ? 1 : 0), argv + argc}, options);
    if (arguments.help) {
        std::printf(
            "usage: battery-module-sim [--config FILE] [--address A]... [--seed N]\n"
            "                          [--pty [--link PATH] | --port PATH] [--baud N] [--echo]\n"
            "Answers as battery monitor modules until Ctrl-C.\n%s",
            command_line::Help(options, 17).c_str());
        return 0;
    }
    if (arguments.version) {
        std::printf("%s\n", version::Line("battery-module-sim").c_str());
        return 0;
    }
    if (!fault.empty()) return Fail(fault, 2);
    sim::SimConfig config;
    try {
        config = ReadModules(arguments);
    } catch (const json_input::InputError& e) {
        return Fail(e.what());
    }
    if (config.modules.empty()) return Fail("no modules: give --config FILE or --address A");
    const bool real_port = !arguments.port_path.empty();
    const std::optional<long long> baud =
        arguments.baud_text.empty()
            ? 0
            : command_line::ParseInteger(arguments.baud_text, real_port ? 1 : 0, 4000000);
    if (!baud)
        return Fail("--baud needs a line speed in baud (0: no timing on a pseudo-terminal)", 2);

    module::ModuleSimulator simulator(config.seed);
    for (const auto& m : config.modules) simulator.AddModule(m);
    Line line;
    if (const std::string error = OpenLine(arguments, static_cast<int>(*baud), &line);
        !error.empty()) {
        return Fail(error);
    }
    Serve(std::move(simulator), line, static_cast<int>(*baud), config.echo, stop.fd());
    if (line.pty && !arguments.link_path.empty()) ::unlink(arguments.link_path.c_str());
    if (!line.pty) ::close(line.fd);
    return 0;
}
