#include "tools/runner/outputs/service/notify_socket.h"

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "tools/common/command_line.h"

namespace runner::outputs {

NotifySocket::NotifySocket() {
    const char* name = std::getenv("NOTIFY_SOCKET");
    if (name == nullptr || *name == '\0') return;
    const std::size_t size = std::strlen(name);
    if ((name[0] != '/' && name[0] != '@') || size >= sizeof address_.sun_path) {
        problem_ = std::string("NOTIFY_SOCKET=") + name + " names no socket this program can reach";
        return;
    }
    address_.sun_family = AF_UNIX;
    std::memcpy(address_.sun_path, name, size);
    if (name[0] == '@') address_.sun_path[0] = '\0';  // an abstract name
    length_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + size);
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd_ < 0) problem_ = std::string("cannot make a socket (") + std::strerror(errno) + ")";
}

NotifySocket::~NotifySocket() {
    if (fd_ >= 0) ::close(fd_);
}

bool NotifySocket::Flush() {
    if (pending_.empty() || fd_ < 0) return true;
    std::string message;
    for (const auto& [key, value] : pending_)
        message += (message.empty() ? "" : "\n") + key + "=" + value;
    const ssize_t sent = ::sendto(fd_, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&address_), length_);
    if (sent < 0 && (errno == EAGAIN || errno == EINTR)) return false;
    if (sent < 0 && !failure_said_) failure_ = std::strerror(errno);
    pending_.clear();
    return true;
}

std::string NotifySocket::TakeFailure() {
    if (failure_.empty()) return "";
    failure_said_ = true;
    std::string failure;
    failure.swap(failure_);
    return failure;
}

long long WatchdogMicroseconds() {
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    if (usec == nullptr) return 0;
    if (pid != nullptr && command_line::ParseInteger(pid, 1, INT32_MAX) != ::getpid()) return 0;
    return command_line::ParseInteger(usec, 1, INT64_MAX).value_or(0);
}

}  // namespace runner::outputs
