#include "tools/sim/pty_pair.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace sim {
namespace {
// Closes `fd` (when open) and throws what failed with the error it failed with.
[[noreturn]] void Fail(int fd, const char* what) {
    const int error = errno;
    if (fd >= 0) ::close(fd);
    throw std::system_error(error, std::generic_category(), what);
}
}  // namespace

PtyPair::PtyPair() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (master_ < 0) Fail(-1, "posix_openpt");
    char name[128];
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        Fail(master_, "pseudo-terminal setup");
    }
    slave_path_ = name;
    slave_keepalive_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (slave_keepalive_ < 0) Fail(master_, "open pseudo-terminal slave");
    termios tio{};
    if (tcgetattr(slave_keepalive_, &tio) == 0) {
        cfmakeraw(&tio);
        tcsetattr(slave_keepalive_, TCSANOW, &tio);
    }
}

PtyPair::~PtyPair() { Close(); }

void PtyPair::Close() {
    if (slave_keepalive_ >= 0) ::close(slave_keepalive_);
    if (master_ >= 0) ::close(master_);
    slave_keepalive_ = -1;
    master_ = -1;
}

std::string LinkPath(const std::string& target, const std::string& link) {
    struct stat st {};
    if (::lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) return link + " exists and is not a symbolic link; not replaced";
        if (::unlink(link.c_str()) != 0)
            return "cannot replace " + link + ": " + std::strerror(errno);
    }
    if (::symlink(target.c_str(), link.c_str()) != 0) {
        return "cannot link " + link + ": " + std::strerror(errno);
    }
    return "";
}

}  // namespace sim
