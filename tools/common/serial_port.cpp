#include "tools/common/serial_port.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
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

std::string SetRs485(int fd, const Rs485& mode) {
    serial_rs485 settings{};
    const auto flag = [&settings](bool on, std::uint32_t bit) {
        if (on) settings.flags |= bit;
    };
    flag(mode.enabled, SER_RS485_ENABLED);
    flag(mode.rts_high_while_sending, SER_RS485_RTS_ON_SEND);
    flag(mode.rts_high_after_sending, SER_RS485_RTS_AFTER_SEND);
    flag(mode.receive_while_sending, SER_RS485_RX_DURING_TX);
    settings.delay_rts_before_send = static_cast<std::uint32_t>(mode.delay_before_send_ms);
    settings.delay_rts_after_send = static_cast<std::uint32_t>(mode.delay_after_send_ms);
    if (::ioctl(fd, TIOCSRS485, &settings) != 0) return std::strerror(errno);
    return "";
}

std::optional<bool> Rs485Enabled(int fd) {
    serial_rs485 settings{};
    if (::ioctl(fd, TIOCGRS485, &settings) != 0) return std::nullopt;
    return (settings.flags & SER_RS485_ENABLED) != 0;
}

std::string DeviceNode(int fd) {
    char node[PATH_MAX];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), node, sizeof node - 1);
    return n > 0 ? std::string(node, static_cast<std::size_t>(n)) : std::string();
}

std::string PresenceProblem(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::string("no such device (") + std::strerror(errno) + ")";
    }
    if (!S_ISCHR(st.st_mode)) {
        return std::string("not a serial device: ") + (S_ISDIR(st.st_mode) ? "a directory"
                                                       : S_ISREG(st.st_mode)
                                                           ? "a regular file"
                                                           : "not a character device");
    }
    if (::access(path.c_str(), R_OK | W_OK) == 0) return "";
    const int failure = errno;
    std::string why = std::strerror(failure);
    // Ports belong to a group whose members may use them (dialout on Debian).
    if (const group* owner = ::getgrgid(st.st_gid); failure == EACCES && owner != nullptr)
        why += std::string("; its group is ") + owner->gr_name;
    return "this user may not read and write it (" + why + ")";
}

}  // namespace serial_port
