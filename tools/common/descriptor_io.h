#pragma once
// Small pieces every tool needs around plain file descriptors.

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

namespace descriptor_io {

// Writes all `length` bytes to a blocking descriptor, going on after
// interruptions and short writes; false when the descriptor takes no more.
inline bool WriteAll(int fd, const void* data, std::size_t length) {
    const char* bytes = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// What the last failed system call said, for a one-line message.
inline std::string ErrnoText() { return std::strerror(errno); }

}  // namespace descriptor_io
