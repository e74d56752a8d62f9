#pragma once
// Runs a ModuleSimulator on a serial line (a pty master or a real port) in a
// background thread: what the host sends is fed to the simulator, and its
// transmissions are written back after their delays. Bytes that arrive while
// a delayed reply waits are still heard at once.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <utility>

#include "tools/sim/module_simulator.h"

namespace module_sim {

class LineDriver {
public:
    // `fd` stays owned by the caller and must outlive Stop(); it is switched to
    // non-blocking mode.
    LineDriver(int fd, ModuleSimulator simulator);
    ~LineDriver();
    LineDriver(const LineDriver&) = delete;
    LineDriver& operator=(const LineDriver&) = delete;

    void Start();
    // Stops the thread; pending transmissions are dropped. Idempotent.
    void Stop();

    // Runs fn(ModuleSimulator&) with the driver thread held off, e.g. to read
    // statistics or change a module's readings while it runs.
    template <typename Fn>
    auto WithSimulator(Fn&& fn) {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::forward<Fn>(fn)(simulator_);
    }

    // Write errors seen (a line that went away, for instance).
    std::uint64_t write_errors() const;

private:
    void Run();

    int fd_;
    int wake_[2] = {-1, -1};
    ModuleSimulator simulator_;
    mutable std::mutex mutex_;
    std::thread thread_;
    bool stopping_ = false;
    std::uint64_t write_errors_ = 0;
};

}  // namespace module_sim
