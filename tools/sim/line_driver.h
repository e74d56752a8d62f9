#pragma once
// Runs a module::ModuleSimulator on a serial line (a pty master or a real port) in a
// background thread: what the host sends is fed to the simulator, and its
// transmissions are written back after their delays. Untimed (baud 0), bytes
// that arrive while a delayed reply waits are still heard at once. With a
// baud rate the line keeps that speed's timing (see half_duplex_line.h): a
// pseudo-terminal then paces like a real RS-485 line, collisions included.
// The modules' reading changes are timed from Start().
// An echoing line sends the host's bytes back to it before any answer, at
// once or, timed, as they cross the line.

#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "tools/module/half_duplex_line.h"
#include "tools/module/module_simulator.h"

namespace sim {

class LineDriver {
public:
    // `fd` stays owned by the caller and must outlive Stop(); it is switched to
    // non-blocking mode.
    LineDriver(int fd, module::ModuleSimulator simulator, int baud = 0, module::LineEcho echo = {});
    ~LineDriver();
    LineDriver(const LineDriver&) = delete;
    LineDriver& operator=(const LineDriver&) = delete;

    void Start();
    // Stops the thread; pending transmissions are dropped. Idempotent.
    void Stop();

    // Runs fn(module::ModuleSimulator&) with the driver thread held off, e.g. to read
    // statistics or change a module's readings while it runs.
    template <typename Fn>
    auto WithSimulator(Fn&& fn) {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::forward<Fn>(fn)(simulator_);
    }

    // Host commands that talked over an exchange in progress (timed lines only).
    std::uint64_t collisions() const;
    // How long the host took from an answer's end to its next command (timed lines only).
    module::HalfDuplexLine::Idle reply_to_command() const;
    // Echoes sent back garbled on purpose (LineEcho::garble_every).
    std::uint64_t garbled_echoes() const;
    int baud() const { return baud_; }
    bool echoes() const { return echo_.on; }

private:
    using Pending = module::HalfDuplexLine::Piece;
    void Run();
    // Reads what the host wrote and queues the answers.
    void Hear(std::deque<Pending>& queue, module::HalfDuplexLine::Clock::time_point& last_due);
    void WriteDue(std::deque<Pending>& queue);
    // What goes back to the host of the bytes it sent: nothing on a line
    // without echo, garbled where the echo settings say.
    module::Bytes EchoOf(const std::uint8_t* data, std::size_t length);

    int fd_;
    int baud_;
    int wake_;  // an eventfd that Stop() makes readable
    module::ModuleSimulator simulator_;
    mutable std::mutex mutex_;
    std::thread thread_;
    module::HalfDuplexLine timing_;
    module::HalfDuplexLine::Clock::time_point started_{};
    module::LineEcho echo_;
    std::uint64_t echoes_ = 0;
};

}  // namespace sim
