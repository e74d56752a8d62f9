#include "tools/runner/line/port_line.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/common/serial_port.h"
#include "tools/common/time_text.h"

namespace runner::line {
namespace {

// What the open note says of the settings the site file gives the port.
std::string SettingsText(const PortSettings& settings) {
    std::string text;
    if (settings.rs485) text += ", " + Rs485Text(*settings.rs485);
    if (settings.echo == EchoMode::kOn) text += ", its echo taken off (echo set on)";
    if (settings.echo == EchoMode::kOff) text += ", no echo looked for (echo set off)";
    return text;
}

}  // namespace

std::string HexText(const std::uint8_t* data, std::size_t length) {
    std::string out;
    char byte[4];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", data[i]);
        out += byte;
    }
    return out;
}

int OpenPort(const std::string& path, int baud, const PortSettings& settings, std::string* why) {
    const serial_port::OpenResult result = serial_port::Open(path, baud);
    if (result.fd < 0) {
        *why = "cannot open (" + result.error + ")";
        return -1;
    }
    const auto& rs485 = settings.rs485;
    // Off is what a driver without an RS-485 interface already is.
    if (!rs485 || (!rs485->enabled && !serial_port::Rs485Enabled(result.fd).has_value())) {
        return result.fd;
    }
    const std::string refused = serial_port::SetRs485(result.fd, *rs485);
    if (refused.empty()) return result.fd;
    ::close(result.fd);
    *why = std::string("cannot use it: its driver refuses to turn RS-485 mode ") +
           (rs485->enabled ? "on" : "off") + " (" +
           (settings.origin.empty() ? "" : settings.origin + ".rs485: ") + refused + ")";
    return -1;
}

PortLine::PortLine(PortOptions options, std::string users, const console::Console& console)
    : options_(std::move(options)),
      users_(std::move(users)),
      console_(console),
      gatherer_(kBurstLimit, options_.burst_gap),
      echo_(options_.settings.echo) {
    state_.echo = echo_.echoing();
}

PortLine::~PortLine() {
    if (fd_ >= 0) ::close(fd_);
}

bool PortLine::OpenIfDue(Clock::time_point now) {
    if (fd_ >= 0) return true;
    if (!first_attempt_ && now < next_retry_) return false;
    std::string why;
    const int fd = OpenPort(options_.path, options_.baud, options_.settings, &why);
    if (fd < 0) {
        next_retry_ = now + options_.reopen_period;
        // Said by SayNotOpened, once it is known whether the run goes on.
        if (first_attempt_) first_failure_ = why;
        first_attempt_ = false;
        return false;
    }
    Opened(fd);
    const std::string& path = options_.path;
    // Any attempt but the first follows a failure that was reported.
    if (first_attempt_) {
        console_.Note("port " + path + ": open at " + std::to_string(options_.baud) + " baud, 8N1" +
                      NodeText() + SettingsText(options_.settings) + ", for " + users_);
    } else if (state_.reopens > 0) {
        console_.Problem("port " + path + ": back" + NodeText() + ", polling " + users_ + " again");
    } else {
        console_.Problem("port " + path + ": open now" + NodeText() + ", polling " + users_);
    }
    first_attempt_ = false;
    return true;
}

// A link is followed anew at every open: the node it reaches is the one in use now.
void PortLine::Opened(int fd) {
    fd_ = fd;
    gatherer_.Clear();
    echo_.Reopened();
    empty_wakeups_ = 0;
    if (ever_opened_) ++state_.reopens;
    ever_opened_ = true;
    state_.node = serial_port::DeviceNode(fd);
    if (state_.node.empty()) state_.node = options_.path;
    state_.rs485 = serial_port::Rs485Enabled(fd);
    ++changes_;
}

std::string PortLine::NodeText() const {
    return state_.node == options_.path ? "" : ", device node " + state_.node;
}

void PortLine::MarkLost(const std::string& why, Clock::time_point now) {
    if (fd_ < 0) return;
    ::close(fd_);
    fd_ = -1;
    gatherer_.Clear();
    next_retry_ = now + options_.reopen_period;
    ReportDown("lost (" + why + ")");
}

void PortLine::SayNotOpened(bool retrying) const {
    if (first_failure_.empty() || up()) return;
    if (retrying) return ReportDown(first_failure_);
    console_.Problem("port " + options_.path + ": " + first_failure_);
}

void PortLine::ReportDown(const std::string& what) const {
    const bool many = users_.compare(0, 8, "devices ") == 0;
    console_.Problem("port " + options_.path + ": " + what + "; " + users_ +
                     (many ? " wait" : " waits") + " for it, retrying every " +
                     time_text::Duration(options_.reopen_period));
}

std::vector<PortLine::Bytes> PortLine::ReadAvailable(Clock::time_point now, bool polled) {
    std::vector<Bytes> bursts;
    std::uint8_t buffer[256];
    std::size_t total = 0;
    while (fd_ >= 0) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            total += static_cast<std::size_t>(n);
            const EchoFilter::Taken taken = echo_.Take(buffer, static_cast<std::size_t>(n));
            EchoTaken(taken);
            for (auto& b : gatherer_.Add(buffer + taken.echo_bytes,
                                         static_cast<std::size_t>(n) - taken.echo_bytes, now)) {
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

void PortLine::EchoTaken(const EchoFilter::Taken& taken) {
    if (taken.first_echo) {
        state_.echo = true;
        ++changes_;
        console_.Note("port " + options_.path +
                      ": the line echoes what is sent (local echo); the echo is taken off "
                      "before the devices see it");
    }
    if (taken.garbled) {
        const std::size_t n = echo_.last_length();
        GarbledEcho(HexText(echo_.last_heard().data(), n) + " came back for " +
                    HexText(echo_.last_sent().data(), n));
    }
}

void PortLine::GarbledEcho(const std::string& what) {
    if (state_.garbled_echoes++ == 0) {
        console_.Problem("port " + options_.path + ": a garbled echo (" + what +
                         "): dropped, not handed to a device; later ones are only counted");
    }
    ++changes_;
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
    if (echo_.Sent(data, length)) GarbledEcho("cut short");
    if (options_.end_reply_on_length) gatherer_.Expect(ReplyShapeFor(data, length));
    return true;
}

}  // namespace runner::line
