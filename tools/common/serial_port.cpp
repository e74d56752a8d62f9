#include "tools/common/serial_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

namespace serial_port {
namespace {

speed_t SpeedFor(int baud) {
    static const std::map<int, speed_t> kSpeeds = {
        {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
        {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
    const auto it = kSpeeds.find(baud);
    return it == kSpeeds.end() ? B0 : it->second;
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
    // Some device nodes do not support locks; polling still works.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        return OpenResult{-1, "in use by another program"};
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
