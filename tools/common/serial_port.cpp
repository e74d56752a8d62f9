#include "tools/common/serial_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace serial_port {
namespace {

speed_t SpeedFor(int baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B0;
    }
}

OpenResult Fail(int fd, const std::string& what) {
    const int saved = errno;
    if (fd >= 0) ::close(fd);
    return OpenResult{-1, what + std::strerror(saved)};
}

}  // namespace

OpenResult Open(const std::string& path, int baud) {
    const speed_t speed = SpeedFor(baud);
    if (speed == B0) return OpenResult{-1, "unsupported speed " + std::to_string(baud) + " baud"};

    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Fail(-1, "");
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            ::close(fd);
            return OpenResult{-1, "in use by another program"};
        }
        // Some device nodes do not support locks; polling still works.
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return Fail(fd, "not a serial line: ");
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) {
        return Fail(fd, "cannot set speed: ");
    }
    if (tcsetattr(fd, TCSANOW, &tio) != 0) return Fail(fd, "cannot configure: ");
    tcflush(fd, TCIOFLUSH);
    return OpenResult{fd, {}};
}

}  // namespace serial_port
