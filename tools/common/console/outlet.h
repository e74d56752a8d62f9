#pragma once
// A program's output that never makes it wait. A reader that stops reading (a
// full pipe, a terminal paused with Ctrl-S, `| less`) must not stop the
// program: lines it does not take at once are held, up to a fixed amount, and
// written when it reads again (Drain, from the program's loop); lines beyond
// that are dropped whole and counted, and the count is said on the same
// output once the reader has caught up.
//
// The output's descriptor is shared with whoever started the program (the
// shell's terminal, the other end of a pipeline), so its file status flags are
// left alone: a pipe or terminal is opened afresh through /proc/self/fd for a
// non-blocking description of its own, a socket is written with MSG_DONTWAIT,
// and a regular file is written as it is (it never waits for a reader). Only
// where /proc is missing is O_NONBLOCK set on the shared description, and then
// put back when the outlet ends.

#include <sys/uio.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace console {

class Outlet {
public:
    // Bytes held for a reader that does not keep up: a few hundred lines.
    static constexpr std::size_t kCapacity = 64 * 1024;

    // Writes to `fd`, which must stay open while the outlet lives. `name` says
    // which output it is ("standard output"), `prefix` starts the program's
    // own lines ("battery32-run: ").
    Outlet(int fd, std::string name, std::string prefix);
    ~Outlet();
    Outlet(const Outlet&) = delete;
    Outlet& operator=(const Outlet&) = delete;

    // `text` and a line end, written whole, held whole or dropped whole.
    void Line(std::string_view text);
    // Writes what is held, as far as the reader takes it now. Once all is out,
    // says how many lines were dropped meanwhile, if any. False when the
    // reader took nothing.
    bool Drain();
    // Waits up to `limit` for the held lines of `outlets` to go out (a
    // program's last lines); what is still held then is given up and counted.
    static void DrainAll(const std::vector<Outlet*>& outlets, std::chrono::milliseconds limit);

    bool holding() const { return held_ > 0; }
    // The descriptor to wait on for room to write.
    int fd() const { return fd_; }
    const std::string& name() const { return name_; }
    // Lines dropped and not yet said.
    std::uint64_t dropped() const { return dropped_; }
    // Once, after the output failed for good (a full disk, a file over the
    // size limit): why, for a line elsewhere; "" otherwise. A closed pipe is
    // no failure: nobody is left to read it.
    std::string TakeFailure() { return std::exchange(failure_, std::string()); }

private:
    enum class Kind { kAsGiven, kSocket, kOwnDescription, kFlagSet };

    void Open(int fd);
    // Writes the iovecs without waiting: bytes taken, or -1 when the reader is gone.
    ssize_t Put(iovec* parts, int count);
    bool Hold(std::string_view text);
    void Release(std::size_t bytes);
    void SayDropped();

    std::string name_;
    std::string prefix_;
    Kind kind_ = Kind::kAsGiven;
    int fd_ = -1;
    int own_fd_ = -1;
    int restore_flags_ = -1;
    std::vector<char> ring_;  // held bytes, from head_, held_ long, wrapping around
    std::size_t head_ = 0;
    std::size_t held_ = 0;
    std::uint64_t dropped_ = 0;
    bool broken_ = false;  // the output is gone for good
    std::string failure_;
};

}  // namespace console
