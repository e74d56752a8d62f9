#include "tools/common/console/outlet.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace console {
namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_rdev == b.st_rdev;
}

}  // namespace

Outlet::Outlet(int fd, std::string name, std::string prefix)
    : name_(std::move(name)), prefix_(std::move(prefix)), fd_(fd), ring_(kCapacity) {
    Open(fd);
}

Outlet::~Outlet() {
    if (restore_flags_ >= 0) ::fcntl(fd_, F_SETFL, restore_flags_);
    if (own_fd_ >= 0) ::close(own_fd_);
}

void Outlet::Open(int fd) {
    struct stat st {};
    const int flags = ::fcntl(fd, F_GETFL);
    // A file takes what it is given without a reader; a description that
    // is non-blocking already needs nothing more.
    if (::fstat(fd, &st) != 0 || S_ISREG(st.st_mode) || S_ISBLK(st.st_mode) || flags < 0 ||
        (flags & O_NONBLOCK) != 0) {
        return;
    }
    if (S_ISSOCK(st.st_mode)) {
        kind_ = Kind::kSocket;
        return;
    }
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    const int own = ::open(proc.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat again {};
    if (own >= 0 && ::fstat(own, &again) == 0 && SameFile(st, again)) {
        own_fd_ = fd_ = own;
        kind_ = Kind::kOwnDescription;
        return;
    }
    const bool no_reader = own < 0 && errno == ENXIO;  // a pipe whose reader is gone
    if (own >= 0) ::close(own);
    if (!no_reader && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0) {
        restore_flags_ = flags;
        kind_ = Kind::kFlagSet;
    }
}

ssize_t Outlet::Put(iovec* parts, int count) {
    for (;;) {
        ssize_t n;
        if (kind_ == Kind::kSocket) {
            msghdr message{};
            message.msg_iov = parts;
            message.msg_iovlen = static_cast<std::size_t>(count);
            n = ::sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        } else {
            n = ::writev(fd_, parts, count);
        }
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        if (errno != EPIPE) failure_ = std::strerror(errno);
        return -1;
    }
}

void Outlet::Line(std::string_view text) {
    if (broken_) return;
    if (held_ > 0) {
        if (!Hold(text)) ++dropped_;
        Drain();
        return;
    }
    iovec parts[2] = {{const_cast<char*>(text.data()), text.size()}, {const_cast<char*>("\n"), 1}};
    const ssize_t n = Put(parts, 2);
    if (n < 0) {
        broken_ = true;
        return;
    }
    const auto done = static_cast<std::size_t>(n);
    if (done == text.size() + 1) return;
    // Part of it went out: the rest goes next, so the line stays whole.
    const std::string_view rest = done < text.size() ? text.substr(done) : std::string_view();
    if (!Hold(rest.substr(0, kCapacity - 1))) ++dropped_;
}

bool Outlet::Hold(std::string_view text) {
    if (held_ + text.size() + 1 > kCapacity) return false;
    std::size_t tail = (head_ + held_) % kCapacity;
    for (const char c : text) {
        ring_[tail] = c;
        tail = tail + 1 == kCapacity ? 0 : tail + 1;
    }
    ring_[tail] = '\n';
    held_ += text.size() + 1;
    return true;
}

void Outlet::Release(std::size_t bytes) {
    head_ = (head_ + bytes) % kCapacity;
    held_ -= bytes;
    if (held_ == 0) head_ = 0;
}

bool Outlet::Drain() {
    bool progress = false;
    while (held_ > 0 && !broken_) {
        const std::size_t first = std::min(held_, kCapacity - head_);
        iovec parts[2] = {{ring_.data() + head_, first}, {ring_.data(), held_ - first}};
        const ssize_t n = Put(parts, first < held_ ? 2 : 1);
        if (n < 0) {
            broken_ = true;  // nothing held can go out any more, and was said to be lost
            Release(held_);
        }
        if (n <= 0) break;
        Release(static_cast<std::size_t>(n));
        progress = true;
    }
    if (held_ == 0 && dropped_ > 0 && !broken_) SayDropped();
    return progress;
}

void Outlet::SayDropped() {
    const std::uint64_t count = dropped_;
    dropped_ = 0;
    Line(prefix_ + std::to_string(count) + (count == 1 ? " line" : " lines") +
         " dropped: " + name_ + " was not read fast enough");
}

void Outlet::DrainAll(const std::vector<Outlet*>& outlets, std::chrono::milliseconds limit) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + limit;
    std::vector<pollfd> waits;
    for (;;) {
        waits.clear();
        for (Outlet* o : outlets) {
            if (o->holding()) o->Drain();
            if (o->holding() && !o->broken_) waits.push_back(pollfd{o->fd_, POLLOUT, 0});
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (waits.empty() || left.count() <= 0) break;
        ::poll(waits.data(), waits.size(), static_cast<int>(std::min<long long>(left.count(), 50)));
    }
    for (Outlet* o : outlets) {
        for (std::size_t i = 0; i < o->held_; ++i) {
            if (o->ring_[(o->head_ + i) % kCapacity] == '\n') ++o->dropped_;
        }
        o->Release(o->held_);
    }
}

}  // namespace console
