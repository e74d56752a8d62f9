#include "tools/sim/line_driver.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace sim {

using Clock = module::HalfDuplexLine::Clock;

LineDriver::LineDriver(int fd, module::ModuleSimulator simulator, int baud, module::LineEcho echo)
    : fd_(fd),
      baud_(baud > 0 ? baud : 0),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      simulator_(std::move(simulator)),
      timing_(baud_),
      echo_(echo) {
    if (wake_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
    const int flags = fcntl(fd_, F_GETFL);
    if (flags >= 0) fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
}

LineDriver::~LineDriver() {
    Stop();
    ::close(wake_);
}

void LineDriver::Start() {
    if (thread_.joinable()) return;
    started_ = Clock::now();
    thread_ = std::thread([this] { Run(); });
}

void LineDriver::Stop() {
    if (!thread_.joinable()) return;
    ::eventfd_write(wake_, 1);  // never blocks: the counter is far from full
    thread_.join();
    eventfd_t drained;
    ::eventfd_read(wake_, &drained);  // so that a later Start() waits again
}

std::uint64_t LineDriver::collisions() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return timing_.collisions();
}

module::HalfDuplexLine::Idle LineDriver::reply_to_command() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return timing_.reply_to_command();
}

std::uint64_t LineDriver::garbled_echoes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return echo_.garble_every > 0 ? echoes_ / echo_.garble_every : 0;
}

void LineDriver::Run() {
    std::deque<Pending> queue;
    Clock::time_point last_due = Clock::now();
    for (;;) {
        const auto now = Clock::now();
        pollfd fds[2] = {{wake_, POLLIN, 0}, {fd_, POLLIN, 0}};
        timespec wait{};
        timespec* timeout = nullptr;  // nothing queued: wait for the host
        if (!queue.empty() && queue.front().due <= now) {
            fds[1].events |= POLLOUT;  // due: wait until the line takes it
        } else if (!queue.empty()) {
            const auto ns =
                std::chrono::duration_cast<std::chrono::nanoseconds>(queue.front().due - now)
                    .count();
            wait =
                timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
            timeout = &wait;
        }
        const int ready = ::ppoll(fds, 2, timeout, nullptr);
        if (ready < 0 && errno != EINTR) return;
        if (fds[0].revents != 0) return;  // Stop()

        if (fds[1].revents & POLLIN) {
            Hear(queue, last_due);
        } else if (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            // No peer on the line for now: do not spin on the hang-up.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        WriteDue(queue);
        if (queue.empty()) last_due = Clock::now();
    }
}

void LineDriver::Hear(std::deque<Pending>& queue, Clock::time_point& last_due) {
    std::uint8_t buffer[256];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) return;
        const auto heard = Clock::now();
        std::lock_guard<std::mutex> lock(mutex_);
        simulator_.SetElapsed(
            std::chrono::duration_cast<std::chrono::milliseconds>(heard - started_));
        module::Bytes echo = EchoOf(buffer, static_cast<std::size_t>(n));
        if (baud_ == 0) {
            std::vector<module::Transmission> out =
                simulator_.Receive(buffer, static_cast<std::size_t>(n));
            if (last_due < heard) last_due = heard;
            if (!echo.empty()) queue.push_back(Pending{last_due, std::move(echo), 0});
            for (auto& t : out) {
                last_due += t.delay;
                queue.push_back(Pending{last_due, std::move(t.bytes), 0});
            }
            continue;
        }
        // A colliding command is lost on the line: the modules never hear it.
        const bool clear = timing_.HostBytes(static_cast<std::size_t>(n), heard, queue);
        timing_.Echo(std::move(echo), queue);
        if (!clear) continue;
        timing_.Answer(simulator_.Receive(buffer, static_cast<std::size_t>(n)), queue);
    }
}

module::Bytes LineDriver::EchoOf(const std::uint8_t* data, std::size_t length) {
    if (!echo_.on) return {};
    module::Bytes echo(data, data + length);
    if (echo_.garble_every > 0 && ++echoes_ % echo_.garble_every == 0) echo.back() ^= 0x5A;
    return echo;
}

void LineDriver::WriteDue(std::deque<Pending>& queue) {
    while (!queue.empty() && queue.front().due <= Clock::now()) {
        Pending& p = queue.front();
        const ssize_t n = ::write(fd_, p.bytes.data() + p.written, p.bytes.size() - p.written);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) break;
            queue.pop_front();  // a line that went away: the reply is lost
            continue;
        }
        p.written += static_cast<std::size_t>(n);
        if (p.written < p.bytes.size()) break;
        queue.pop_front();
    }
}

}  // namespace sim
