#include "tools/runner/host/device_chatter.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace runner::host {
namespace {

constexpr long long kTrimAfterBytes = 64 * 1024;

// Appending: after the runner empties the file, writes start over at 0. A C
// library without memfd_create (an older SDK's) gets an unlinked temporary file.
int OpenScratch() {
    int fd = -1;
#ifdef MFD_CLOEXEC
    fd = memfd_create("battery32-device-output", MFD_CLOEXEC);
#endif
    if (fd < 0) {
        char name[] = "/tmp/battery32-device-output-XXXXXX";
        fd = mkostemp(name, O_CLOEXEC);
        if (fd >= 0) ::unlink(name);
    }
    if (fd >= 0) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_APPEND);
    return fd;
}

void FlushStandardOutput() {
    std::cout.flush();
    std::fflush(stdout);
}

}  // namespace

DeviceChatter::~DeviceChatter() { End(); }

std::string DeviceChatter::Begin(console::Outlet* destination) {
    FlushStandardOutput();
    destination_ = destination;
    // Dropped lines go straight to /dev/null: nothing to read back after each call.
    const int target =
        destination == nullptr ? ::open("/dev/null", O_WRONLY | O_CLOEXEC) : OpenScratch();
    if (target < 0) return std::strerror(errno);
    saved_stdout_ = ::dup(STDOUT_FILENO);
    if (saved_stdout_ < 0 || ::dup2(target, STDOUT_FILENO) < 0) {
        const std::string reason = std::strerror(errno);
        ::close(target);
        if (saved_stdout_ >= 0) ::close(saved_stdout_);
        saved_stdout_ = -1;
        return reason;
    }
    if (destination == nullptr) {
        ::close(target);
    } else {
        capture_fd_ = target;
    }
    read_offset_ = 0;
    return "";
}

void DeviceChatter::Flush(const std::string& label) {
    if (capture_fd_ < 0) return;
    FlushStandardOutput();
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::pread(capture_fd_, buffer, sizeof buffer, read_offset_);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        read_offset_ += n;
        partial_.append(buffer, static_cast<std::size_t>(n));
        for (std::size_t end; (end = partial_.find('\n')) != std::string::npos;) {
            destination_->Line("  " + label + "> " + partial_.substr(0, end));
            partial_.erase(0, end + 1);
        }
    }
    if (read_offset_ >= kTrimAfterBytes && ::ftruncate(capture_fd_, 0) == 0) read_offset_ = 0;
}

void DeviceChatter::End() {
    if (saved_stdout_ < 0) return;
    if (capture_fd_ >= 0) {
        Flush("device");
        if (!partial_.empty()) destination_->Line("  device> " + partial_);
        partial_.clear();
        ::close(capture_fd_);
        capture_fd_ = -1;
    }
    FlushStandardOutput();
    ::dup2(saved_stdout_, STDOUT_FILENO);
    ::close(saved_stdout_);
    saved_stdout_ = -1;
}

}  // namespace runner::host
