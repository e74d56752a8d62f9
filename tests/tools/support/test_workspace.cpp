#include "tests/tools/support/test_workspace.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tools/module/module_simulator.h"

namespace tools_test {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/battery32-tools-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void TempDir::Write(const std::string& name, const std::string& text) const {
    std::ofstream(File(name), std::ios::binary) << text;
}

SimulatedLine::SimulatedLine(std::vector<module::ModuleConfig> modules, std::uint64_t seed,
                             int baud, module::LineEcho echo)
    : pty_(std::make_unique<sim::PtyPair>()) {
    module::ModuleSimulator simulator(seed);
    for (const auto& m : modules) simulator.AddModule(m);
    driver_ =
        std::make_unique<sim::LineDriver>(pty_->master_fd(), std::move(simulator), baud, echo);
}

SimulatedLine::~SimulatedLine() {
    driver_->Stop();
    pty_->Close();
}

void SimulatedLine::Start() { driver_->Start(); }

void SimulatedLine::Unplug() {
    driver_->Stop();
    pty_->Close();
}

std::vector<int> SimulatedLine::test_side_fds() const { return pty_->descriptors(); }

int FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    ::close(fd);
    return ntohs(addr.sin_port);
}

bool Accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

bool PseudoTerminalsWork(std::string* why) {
    try {
        sim::PtyPair probe;
        return true;
    } catch (const std::exception& e) {
        *why = e.what();
        return false;
    }
}

std::string DeviceJson(std::uint32_t data_id, int address, const std::string& port,
                       const std::string& app_setting) {
    return "{\"data_id\": " + std::to_string(data_id) +
           ", \"address\": " + std::to_string(address) + ", \"port\": \"" + port +
           "\", \"settings\": {\"appSetting\": " + app_setting + "}}";
}

std::string SiteJson(const std::vector<std::string>& devices, const std::string& ports) {
    std::string text = "{\"devices\": [";
    for (std::size_t i = 0; i < devices.size(); ++i) text += (i ? ", " : "") + devices[i];
    return text + "]" + (ports.empty() ? "" : ", \"ports\": " + ports) + "}";
}

void PseudoTerminalTest::SetUp() {
    std::string why;
    if (!PseudoTerminalsWork(&why)) GTEST_SKIP() << "no pseudo-terminals here: " << why;
}

std::vector<std::string> PseudoTerminalTest::RunnerArgs(
    const std::string& first, const std::string& tick_ms,
    std::initializer_list<std::vector<std::string>> more) const {
    std::vector<std::string> args = {first,    "--plugin",       BATTERY32_PLUGIN_PATH,
                                     "--data", dir.File("data"), "--tick-ms",
                                     tick_ms,  "--quiet-device"};
    for (const std::vector<std::string>& part : more)
        args.insert(args.end(), part.begin(), part.end());
    return args;
}

}  // namespace tools_test
