#pragma once
// The service manager's notification socket (systemd's notify protocol, as
// sd_notify(3) documents it): $NOTIFY_SOCKET names a datagram socket, a path
// or, after '@', an abstract name; each message is one datagram of
// "KEY=VALUE" lines. Sent without waiting: a manager that reads nothing must
// not hold up polling. What it could not take is kept, newer values over
// older ones, and sent with the next message or Flush().

#include <sys/socket.h>
#include <sys/un.h>

#include <map>
#include <string>

namespace runner::outputs {

class NotifySocket {
public:
    // The socket $NOTIFY_SOCKET names; unusable (usable() false) when it is
    // unset, and `problem` says why when it names none this can reach.
    NotifySocket();
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool usable() const { return fd_ >= 0; }
    const std::string& problem() const { return problem_; }
    // Sets `key` to `value` ("READY", "1") for the next message.
    void Set(const std::string& key, const std::string& value) { pending_[key] = value; }
    // Takes `key` back, when the manager did not take it yet.
    void Unset(const std::string& key) { pending_.erase(key); }
    // Sends what is pending. True when nothing is left; false when the
    // manager did not take it now (try again later).
    bool Flush();
    // Once, after a send failed for another reason than a full queue; "" otherwise.
    std::string TakeFailure();

private:
    int fd_ = -1;
    sockaddr_un address_{};
    socklen_t length_ = 0;
    std::map<std::string, std::string> pending_;
    std::string problem_;
    std::string failure_;
    bool failure_said_ = false;
};

// The watchdog period the manager asks for: $WATCHDOG_USEC, when $WATCHDOG_PID
// is unset or this process; 0 for none.
long long WatchdogMicroseconds();

}  // namespace runner::outputs
