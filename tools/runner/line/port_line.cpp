#include "tools/runner/line/port_line.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/common/serial_port.h"
#include "tools/common/time_text.h"

namespace runner::line {

PortLine::PortLine(std::string path, int baud, Clock::duration gap, Clock::duration reopen_period,
                   std::string users, const console::Console& console)
    : path_(std::move(path)),
      baud_(baud),
      reopen_period_(reopen_period),
      users_(std::move(users)),
      console_(console),
      gatherer_(kBurstLimit, gap) {}

PortLine::~PortLine() {
    if (fd_ >= 0) ::close(fd_);
}

bool PortLine::OpenIfDue(Clock::time_point now) {
    if (fd_ >= 0) return true;
    if (!first_attempt_ && now < next_retry_) return false;
    const serial_port::OpenResult result = serial_port::Open(path_, baud_);
    if (result.fd < 0) {
        next_retry_ = now + reopen_period_;
        if (first_attempt_) ReportDown("cannot open (" + result.error + ")");
        first_attempt_ = false;
        return false;
    }
    fd_ = result.fd;
    gatherer_.Clear();
    empty_wakeups_ = 0;
    // Any attempt but the first follows a failure that was reported.
    if (first_attempt_) {
        console_.Note("port " + path_ + ": open at " + std::to_string(baud_) + " baud, 8N1, for " +
                      users_);
    } else if (ever_opened_) {
        console_.Problem("port " + path_ + ": back, polling " + users_ + " again");
    } else {
        console_.Problem("port " + path_ + ": open now, polling " + users_);
    }
    first_attempt_ = false;
    ever_opened_ = true;
    return true;
}

void PortLine::MarkLost(const std::string& why, Clock::time_point now) {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    gatherer_.Clear();
    next_retry_ = now + reopen_period_;
    ReportDown("lost (" + why + ")");
}

void PortLine::ReportDown(const std::string& what) {
    console_.Problem("port " + path_ + ": " + what + "; " + users_ +
                     " wait for it, retrying every " + time_text::Duration(reopen_period_));
}

std::vector<PortLine::Bytes> PortLine::ReadAvailable(Clock::time_point now, bool polled) {
    std::vector<Bytes> bursts;
    std::uint8_t buffer[256];
    std::size_t total = 0;
    while (fd_ >= 0) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            total += static_cast<std::size_t>(n);
            for (auto& b : gatherer_.Add(buffer, static_cast<std::size_t>(n), now)) {
                bursts.push_back(std::move(b));
            }
            continue;
        }
        if (n == 0) break;  // raw mode with VMIN 0: nothing more waiting
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) MarkLost(std::strerror(errno), now);
        break;
    }
    // A line that keeps waking the poll without data would spin the runner.
    if (!polled) return bursts;
    empty_wakeups_ = total == 0 ? empty_wakeups_ + 1 : 0;
    if (empty_wakeups_ >= 100) {
        empty_wakeups_ = 0;
        MarkLost("readable but yields no data", now);
    }
    return bursts;
}

bool PortLine::Write(const std::uint8_t* data, std::size_t length, Clock::time_point now) {
    if (fd_ < 0) return false;
    std::size_t done = 0;
    int waits = 0;
    while (done < length) {
        const ssize_t n = ::write(fd_, data + done, length - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && waits++ < 5) {
            // Output queue full: a command is a few bytes, so a short wait settles it.
            pollfd p{fd_, POLLOUT, 0};
            ::poll(&p, 1, 20);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            MarkLost(std::strerror(errno), now);
        }
        return false;
    }
    return true;
}

}  // namespace runner::line
