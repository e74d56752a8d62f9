#include "tests/tools/support/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace tools_test {
namespace {

int Connect(int port, const std::string& from = "127.0.0.1") {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in source{};
    source.sin_family = AF_INET;
    if (fd < 0 || ::inet_pton(AF_INET, from.c_str(), &source.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void SendAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;  // the server may refuse before reading it all
        done += static_cast<std::size_t>(n);
    }
}

// Reads what arrives before `deadline`; false when the peer closed or time ran out.
bool ReadSome(int fd, std::string& into, std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[8192];
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    into.append(chunk, static_cast<std::size_t>(n));
    return true;
}

int StatusOf(const std::string& text) {
    if (text.compare(0, 5, "HTTP/") != 0) return 0;
    const auto space = text.find(' ');
    return space == std::string::npos ? 0 : std::atoi(text.c_str() + space + 1);
}

}  // namespace

HttpReply HttpExchange(int port, const std::string& raw, std::chrono::milliseconds timeout) {
    HttpReply reply;
    const int fd = Connect(port);
    if (fd < 0) return reply;
    SendAll(fd, raw);
    std::string all;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (ReadSome(fd, all, deadline)) {
    }
    ::close(fd);
    reply.status = StatusOf(all);
    const auto end = all.find("\r\n\r\n");
    reply.head = all.substr(0, end);
    if (end != std::string::npos) reply.body = all.substr(end + 4);
    return reply;
}

HttpReply HttpGet(int port, const std::string& target, const std::string& headers) {
    return HttpExchange(port, "GET " + target + " HTTP/1.0\r\n" + headers + "\r\n",
                        std::chrono::seconds(20));
}

int SendAndStall(int port, const std::string& text, const std::string& from) {
    const int fd = Connect(port, from);
    if (fd >= 0) SendAll(fd, text);
    return fd;
}

bool ClosedByServer(int fd, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        char chunk[4096];
        if (::recv(fd, chunk, sizeof chunk, 0) <= 0) return true;  // an answer may come first
    }
}

HttpStream::HttpStream(int port, const std::string& target, const std::string& from)
    : fd_(Connect(port, from)) {
    if (fd_ >= 0) SendAll(fd_, "GET " + target + " HTTP/1.0\r\n\r\n");
}

HttpStream::~HttpStream() {
    if (fd_ >= 0) ::close(fd_);
}

bool HttpStream::Fill(std::chrono::steady_clock::time_point deadline) {
    return fd_ >= 0 && ReadSome(fd_, buffer_, deadline);
}

int HttpStream::Status(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (buffer_.find("\r\n") == std::string::npos && Fill(deadline)) {
    }
    return StatusOf(buffer_);
}

std::string HttpStream::NextEvent(const std::string& event, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (!head_done_) {
            const auto end = buffer_.find("\r\n\r\n");
            if (end != std::string::npos) {
                buffer_.erase(0, end + 4);
                head_done_ = true;
            }
        }
        const auto end = head_done_ ? buffer_.find("\n\n") : std::string::npos;
        if (end != std::string::npos) {
            const std::string block = buffer_.substr(0, end + 1);
            buffer_.erase(0, end + 2);
            if (block.compare(0, 7 + event.size(), "event: " + event) != 0) continue;
            const auto data = block.find("\ndata: ");
            if (data == std::string::npos) continue;
            const auto line_end = block.find('\n', data + 7);
            return block.substr(data + 7, line_end - data - 7);
        }
        if (!Fill(deadline)) return "";
    }
}

}  // namespace tools_test
