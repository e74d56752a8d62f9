#include "tools/common/stop_signals.h"

#include <fcntl.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace stop_signals {

StopSignals::StopSignals() {
    sigset_t stop;
    sigemptyset(&stop);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&stop, signal);
    if (::pthread_sigmask(SIG_BLOCK, &stop, &previous_) != 0) return;
    fd_ = ::signalfd(-1, &stop, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd_ < 0) ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

StopSignals::~StopSignals() {
    if (fd_ < 0) return;
    // Taken here, a signal that stopped the program cannot strike again,
    // with its usual effect, when the mask is lifted.
    signalfd_siginfo taken;
    while (::read(fd_, &taken, sizeof taken) == static_cast<ssize_t>(sizeof taken)) {
    }
    ::close(fd_);
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

int TakeSignal(int fd) {
    signalfd_siginfo taken;
    ssize_t n;
    while ((n = ::read(fd, &taken, sizeof taken)) < 0 && errno == EINTR) {
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    if (n != static_cast<ssize_t>(sizeof taken)) return -1;
    return static_cast<int>(taken.ssi_signo);
}

bool HasTerminal() {
    const int fd = ::open("/dev/tty", O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

}  // namespace stop_signals
