// battery-module-sim: answers as one or more battery monitor modules on a
// pseudo-terminal (default) or a real serial port, until interrupted.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/common/json_input.h"
#include "tools/common/serial_port.h"
#include "tools/sim/line_driver.h"
#include "tools/sim/pty_pair.h"
#include "tools/sim/sim_config_json.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) { g_stop = 1; }

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: battery-module-sim [--config FILE] [--address A]... [--seed N]\n"
                 "                          [--pty [--link PATH] | --port PATH] [--baud N]\n"
                 "Answers as battery monitor modules until Ctrl-C.\n"
                 "  --config FILE  modules, readings and faults (JSON; see README.md)\n"
                 "  --address A    add a default module at wire address A (0..255, or 0x..)\n"
                 "  --pty          serve on a new pseudo-terminal and print its path (default)\n"
                 "  --link PATH    also make PATH a symbolic link to that pseudo-terminal\n"
                 "  --port PATH    serve on a real serial port instead\n"
                 "  --baud N       line speed: on the pseudo-terminal, its timing (bytes take\n"
                 "                 their line time, the line is half duplex and collisions are\n"
                 "                 counted; default: no timing); on --port, the port's speed\n"
                 "                 (default 19200)\n"
                 "  --seed N       seed for noise and random faults (overrides the file)\n");
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "battery-module-sim: %s\n", message.c_str());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string config_path, link_path, port_path;
    std::vector<std::string> addresses;
    std::string seed_text;
    std::string baud_text;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "battery-module-sim: %s needs a value\n", name);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--config") config_path = value("--config");
        else if (arg == "--address") addresses.push_back(value("--address"));
        else if (arg == "--seed") seed_text = value("--seed");
        else if (arg == "--pty") port_path.clear();
        else if (arg == "--link") link_path = value("--link");
        else if (arg == "--port") port_path = value("--port");
        else if (arg == "--baud") baud_text = value("--baud");
        else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else {
            Usage(stderr);
            return 2;
        }
    }

    module_sim::SimConfig config;
    try {
        if (!config_path.empty()) config = module_sim::ReadSimConfigFile(config_path);
        Json::Value extra(Json::objectValue);
        for (const std::string& a : addresses) {
            extra["address"] = a;
            const auto address = static_cast<std::uint8_t>(
                json_input::RequireInteger(extra, "address", "--address", 0, 255));
            bool known = false;
            for (const auto& m : config.modules) known = known || m.address == address;
            if (!known) config.modules.push_back(module_sim::DefaultModule(address));
        }
        if (!seed_text.empty()) {
            extra["seed"] = seed_text;
            config.seed = static_cast<std::uint64_t>(
                json_input::RequireInteger(extra, "seed", "--seed", 0, INT64_MAX));
        }
    } catch (const json_input::InputError& e) {
        return Fail(e.what());
    }
    if (config.modules.empty()) return Fail("no modules: give --config FILE or --address A");
    int baud = 0;
    if (!baud_text.empty()) {
        char* end = nullptr;
        errno = 0;
        const long v = std::strtol(baud_text.c_str(), &end, 10);
        if (errno != 0 || *end != '\0' || v < 0 || v > 4000000 || (v == 0 && !port_path.empty())) {
            return Fail("--baud needs a line speed in baud (0: no timing on a pseudo-terminal)");
        }
        baud = static_cast<int>(v);
    }

    module_sim::ModuleSimulator simulator(config.seed);
    for (const auto& m : config.modules) simulator.AddModule(m);

    std::unique_ptr<module_sim::PtyPair> pty;
    int fd = -1;
    std::string where;
    if (port_path.empty()) {
        try {
            pty = std::make_unique<module_sim::PtyPair>();
        } catch (const std::exception& e) {
            return Fail(std::string("cannot create a pseudo-terminal: ") + e.what());
        }
        fd = pty->master_fd();
        where = pty->slave_path();
        if (!link_path.empty()) {
            const std::string error = module_sim::LinkPath(where, link_path);
            if (!error.empty()) return Fail(error);
            where += " (also " + link_path + ")";
        }
    } else {
        // A real port keeps its own time: the simulator adds none.
        const serial_port::OpenResult port = serial_port::Open(port_path, baud > 0 ? baud : 19200);
        if (port.fd < 0) return Fail("port " + port_path + ": " + port.error);
        fd = port.fd;
        where = port_path;
    }

    std::string list;
    for (auto a : simulator.Addresses()) {
        char text[8];
        std::snprintf(text, sizeof text, "%s0x%02X", list.empty() ? "" : ", ", a);
        list += text;
    }
    const std::string timing =
        pty && baud > 0 ? " with " + std::to_string(baud) + "-baud line timing" : "";
    std::printf("battery-module-sim: modules %s answering on %s%s; Ctrl-C stops\n", list.c_str(),
                where.c_str(), timing.c_str());
    std::fflush(stdout);

    // Blocked until sigsuspend, so a signal cannot slip in between the check
    // and the wait; the driver thread inherits the mask and never takes them.
    sigset_t stop_signals, previous;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    sigaddset(&stop_signals, SIGQUIT);
    sigprocmask(SIG_BLOCK, &stop_signals, &previous);
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    sigaction(SIGQUIT, &sa, nullptr);

    module_sim::LineDriver driver(fd, std::move(simulator), pty ? baud : 0);
    driver.Start();
    while (!g_stop) sigsuspend(&previous);
    driver.Stop();

    driver.WithSimulator([](module_sim::ModuleSimulator& sim) {
        for (auto a : sim.Addresses()) {
            const auto stats = sim.Stats(a);
            std::uint64_t commands = 0;
            for (const auto& c : stats.commands) commands += c.second;
            std::uint64_t faults = 0;
            for (const auto& f : stats.faults) faults += f.second;
            std::printf("battery-module-sim: 0x%02X: %llu commands, %llu replies, %llu faults\n", a,
                        static_cast<unsigned long long>(commands),
                        static_cast<unsigned long long>(stats.replies),
                        static_cast<unsigned long long>(faults));
        }
        return 0;
    });
    if (driver.baud() > 0) {
        std::printf("battery-module-sim: %llu collisions on the line\n",
                    static_cast<unsigned long long>(driver.collisions()));
    }
    if (!link_path.empty() && pty) ::unlink(link_path.c_str());
    if (!pty) ::close(fd);
    return 0;
}
