#include "tests/tools/support/runner_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iostream>

#include "tools/runner/runner_main.h"

namespace tools_test {

RunnerProcess::RunnerProcess(std::vector<std::string> args, std::vector<int> close_in_child,
                             const std::string& stdout_path,
                             const std::function<void()>& in_child) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
    // Whatever the test framework buffered must not come out of the child too.
    std::cout.flush();
    std::fflush(stdout);
    std::fflush(stderr);
    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
        for (int fd : close_in_child) ::close(fd);
        if (!stdout_path.empty()) {
            const int fd = ::open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) ::_exit(125);
            ::close(fd);
        }
        if (in_child) in_child();
        std::vector<std::string> argv_text;
        argv_text.push_back("battery32-run");
        for (auto& a : args) argv_text.push_back(a);
        std::vector<char*> argv;
        for (auto& a : argv_text) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int status = runner::RunnerMain(static_cast<int>(argv_text.size()), argv.data());
        std::cout.flush();
        std::fflush(stdout);
        ::_exit(status);
    }
    ::close(out[1]);
    ::close(err[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
    for (int fd : {out_fd_, err_fd_}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

RunnerProcess::~RunnerProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
}

void RunnerProcess::TakeLines(std::string& partial, std::vector<std::string>& lines, bool flush) {
    std::size_t start = 0;
    for (std::size_t nl; (nl = partial.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(partial.substr(start, nl - start));
    }
    partial.erase(0, start);
    if (flush && !partial.empty()) {
        lines.push_back(partial);
        partial.clear();
    }
}

bool RunnerProcess::Pump(std::chrono::milliseconds timeout) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (out_fd_ < 0 && err_fd_ < 0) return false;
    const int ready = ::poll(fds, 2, static_cast<int>(timeout.count()));
    if (ready <= 0) return true;
    struct Stream {
        int* fd;
        std::string* partial;
        std::vector<std::string>* lines;
    } streams[2] = {{&out_fd_, &out_partial_, &out_}, {&err_fd_, &err_partial_, &err_}};
    for (int i = 0; i < 2; ++i) {
        if (*streams[i].fd < 0 || fds[i].revents == 0) continue;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(*streams[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                streams[i].partial->append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n == 0) {  // the child closed it
                ::close(*streams[i].fd);
                *streams[i].fd = -1;
                TakeLines(*streams[i].partial, *streams[i].lines, true);
            }
            break;
        }
        if (*streams[i].fd >= 0) TakeLines(*streams[i].partial, *streams[i].lines, false);
    }
    return out_fd_ >= 0 || err_fd_ >= 0;
}

std::optional<std::string> RunnerProcess::WaitForLine(
    const std::function<bool(const std::string&)>& match, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (; scanned_out_ < out_.size(); ++scanned_out_)
            if (match(out_[scanned_out_])) return out_[scanned_out_++];
        for (; scanned_err_ < err_.size(); ++scanned_err_)
            if (match(err_[scanned_err_])) return err_[scanned_err_++];
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        if (!Pump(std::min(left, std::chrono::milliseconds(200))) && out_fd_ < 0 && err_fd_ < 0) {
            // Both streams ended; a last look at what came with the end.
            for (; scanned_out_ < out_.size(); ++scanned_out_)
                if (match(out_[scanned_out_])) return out_[scanned_out_++];
            for (; scanned_err_ < err_.size(); ++scanned_err_)
                if (match(err_[scanned_err_])) return err_[scanned_err_++];
            return std::nullopt;
        }
    }
}

int RunnerProcess::Wait(std::chrono::milliseconds timeout) {
    if (status_) return *status_;
    if (pid_ <= 0) return -1;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while ((out_fd_ >= 0 || err_fd_ >= 0) && std::chrono::steady_clock::now() < end) {
        Pump(std::chrono::milliseconds(100));
    }
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    while (done == 0 && std::chrono::steady_clock::now() < end) {
        ::usleep(10000);
        done = ::waitpid(pid_, &status, WNOHANG);
    }
    if (done == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        status_ = -1;
    } else if (WIFEXITED(status)) {
        status_ = WEXITSTATUS(status);
    } else {
        status_ = -2;
    }
    for (int i = 0; i < 100 && (out_fd_ >= 0 || err_fd_ >= 0); ++i)
        Pump(std::chrono::milliseconds(10));
    return *status_;
}

void RunnerProcess::Signal(int signal_number) {
    if (pid_ > 0 && !status_) ::kill(pid_, signal_number);
}

std::string RunnerProcess::Transcript() const {
    std::string text = "--- stdout\n";
    for (const auto& l : out_) text += l + "\n";
    text += "--- stderr\n";
    for (const auto& l : err_) text += l + "\n";
    return text;
}

std::vector<std::string> LinesStartingWith(const std::vector<std::string>& lines,
                                           const std::string& prefix) {
    std::vector<std::string> found;
    for (const auto& l : lines)
        if (l.rfind(prefix, 0) == 0) found.push_back(l);
    return found;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

}  // namespace tools_test
