#include "tools/common/input_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace input_file {
namespace {

std::string CannotRead() { return std::string("cannot read (") + std::strerror(errno) + ")"; }

// "" for a regular file, else "not a regular file (a FIFO)".
std::string KindProblem(mode_t mode) {
    if (S_ISREG(mode)) return "";
    const char* kind = S_ISDIR(mode)    ? "a directory"
                       : S_ISFIFO(mode) ? "a FIFO"
                       : S_ISCHR(mode)  ? "a character device"
                       : S_ISBLK(mode)  ? "a block device"
                       : S_ISSOCK(mode) ? "a socket"
                                        : "not a file";
    return std::string("not a regular file (") + kind + ")";
}

}  // namespace

std::string SizeText(std::size_t bytes) {
    if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) == 0) {
        return std::to_string(bytes / (1024 * 1024)) + " MiB";
    }
    if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes / 1024) + " KiB";
    return std::to_string(bytes) + " bytes";
}

std::string RegularFileProblem(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return CannotRead();
    return KindProblem(st.st_mode);
}

Contents Read(const std::string& path, std::size_t limit) {
    Contents out;
    // Judged before opening too: opening some devices has effects of its own.
    if ((out.error = RegularFileProblem(path)).empty()) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        struct stat st {};
        if (fd < 0 || ::fstat(fd, &st) != 0) {
            out.error = CannotRead();
        } else if ((out.error = KindProblem(st.st_mode)).empty()) {
            out.mode = st.st_mode & 07777;
            char buffer[8192];
            // One byte past the limit tells a file that is too large, even one that grows.
            while (out.text.size() <= limit) {
                const ssize_t n = ::read(fd, buffer, sizeof buffer);
                if (n < 0 && errno == EINTR) continue;
                if (n < 0) out.error = CannotRead();
                if (n <= 0) break;
                out.text.append(buffer, static_cast<std::size_t>(n));
            }
            if (out.error.empty() && out.text.size() > limit) {
                out.error = "larger than " + SizeText(limit);
            }
        }
        if (fd >= 0) ::close(fd);
    }
    if (!out.error.empty()) out.text.clear();
    return out;
}

}  // namespace input_file
