#pragma once
// Scratch space and simulated lines for the tools' end-to-end tests.

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "tools/module/module_config.h"
#include "tools/sim/line_driver.h"
#include "tools/sim/pty_pair.h"

namespace tools_test {

// A fresh directory under the system's temporary directory, removed afterwards.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    void Write(const std::string& name, const std::string& text) const;

private:
    std::string path_;
};

// Simulated modules on a pseudo-terminal, started once the runner child has
// been forked (a child forked while this thread runs could inherit a held lock).
class SimulatedLine {
public:
    // `baud` > 0: the line keeps that speed's timing (see half_duplex_line.h);
    // `echo` makes it send the runner's bytes back.
    SimulatedLine(std::vector<module::ModuleConfig> modules, std::uint64_t seed = 1, int baud = 0,
                  module::LineEcho echo = {});
    ~SimulatedLine();
    void Start();
    // Closes the pseudo-terminal, as when a USB adapter is pulled.
    void Unplug();
    const std::string& path() const { return pty_->slave_path(); }
    // Descriptors the runner child must close so it does not keep the line alive.
    std::vector<int> test_side_fds() const;
    sim::LineDriver& driver() { return *driver_; }

private:
    std::unique_ptr<sim::PtyPair> pty_;
    std::unique_ptr<sim::LineDriver> driver_;
};

// A TCP port on 127.0.0.1 that nothing listened on a moment ago.
int FreePort();
// Whether something accepts connections on 127.0.0.1:`port` now.
bool Accepts(int port);

// Whether this machine can give out pseudo-terminals at all.
bool PseudoTerminalsWork(std::string* why);

// A fixture for tests that run the runner over pseudo-terminals: skipped where
// the machine gives out none. Each test gets its own scratch folder.
class PseudoTerminalTest : public ::testing::Test {
protected:
    void SetUp() override;
    // The arguments every run of the runner here starts with: `first` (the
    // site file, or --simulate), the plug-in under test, a data folder in
    // `dir`, polling every `tick_ms`, the device's own lines hidden; then each
    // of `more` in order.
    std::vector<std::string> RunnerArgs(const std::string& first, const std::string& tick_ms,
                                        std::initializer_list<std::vector<std::string>> more) const;
    TempDir dir;
};

// Device entry for a site file.
std::string DeviceJson(std::uint32_t data_id, int address, const std::string& port,
                       const std::string& app_setting = "{\"b_mode\": \"1\"}");
// `ports`, when given, is the "ports" object's text.
std::string SiteJson(const std::vector<std::string>& devices, const std::string& ports = "");

}  // namespace tools_test
