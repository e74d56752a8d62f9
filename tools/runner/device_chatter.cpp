#include "tools/runner/device_chatter.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "tools/runner/console.h"

namespace runner {
namespace {

constexpr long long kTrimAfterBytes = 64 * 1024;

int OpenScratch() {
#ifdef MFD_CLOEXEC
    const int fd = memfd_create("battery32-device-output", MFD_CLOEXEC);
    if (fd >= 0) return fd;
#endif
    char name[] = "/tmp/battery32-device-output-XXXXXX";
    const int tmp = mkostemp(name, O_CLOEXEC);
    if (tmp >= 0) ::unlink(name);
    return tmp;
}

void FlushStandardOutput() {
    std::cout.flush();
    std::fflush(stdout);
}

}  // namespace

DeviceChatter::~DeviceChatter() { End(); }

std::string DeviceChatter::Begin(int destination_fd) {
    FlushStandardOutput();
    destination_fd_ = destination_fd;
    int target;
    if (destination_fd < 0) {
        target = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    } else {
        target = OpenScratch();
        // Appending: after the runner empties the file, writes start over at 0.
        if (target >= 0) fcntl(target, F_SETFL, fcntl(target, F_GETFL) | O_APPEND);
    }
    if (target < 0) return std::strerror(errno);
    saved_stdout_ = ::dup(STDOUT_FILENO);
    if (saved_stdout_ < 0 || ::dup2(target, STDOUT_FILENO) < 0) {
        const std::string reason = std::strerror(errno);
        ::close(target);
        if (saved_stdout_ >= 0) ::close(saved_stdout_);
        saved_stdout_ = -1;
        return reason;
    }
    if (destination_fd < 0) {
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
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] == '\n') {
                Console::WriteLine(destination_fd_, "  " + label + "> " + partial_);
                partial_.clear();
            } else {
                partial_ += buffer[i];
            }
        }
    }
    if (read_offset_ >= kTrimAfterBytes && ::ftruncate(capture_fd_, 0) == 0) read_offset_ = 0;
}

void DeviceChatter::End() {
    if (saved_stdout_ < 0) return;
    if (capture_fd_ >= 0) {
        Flush("device");
        if (!partial_.empty()) Console::WriteLine(destination_fd_, "  device> " + partial_);
        partial_.clear();
    }
    FlushStandardOutput();
    ::dup2(saved_stdout_, STDOUT_FILENO);
    ::close(saved_stdout_);
    saved_stdout_ = -1;
    if (capture_fd_ >= 0) ::close(capture_fd_);
    capture_fd_ = -1;
}

}  // namespace runner
