#pragma once
// A plain HTTP/1.0 client over a real TCP socket, enough to test the web view:
// one request per connection, the answer read until the server closes.

#include <chrono>
#include <string>

namespace tools_test {

struct HttpReply {
    int status = 0;  // 0: no status line came (refused or closed)
    std::string head;
    std::string body;
};

// Sends `raw` as is to 127.0.0.1:`port` and reads the reply to its end.
HttpReply HttpExchange(int port, const std::string& raw, std::chrono::milliseconds timeout);
// GET `target` with extra header lines ("Name: value\r\n").
HttpReply HttpGet(int port, const std::string& target, const std::string& headers = "");

// Sends `text` to 127.0.0.1:`port` from the loopback address `from` and then
// nothing more: a client that stalls in the middle of its request. Returns
// the connection's descriptor, -1 if it could not connect.
int SendAndStall(int port, const std::string& text, const std::string& from);
// Whether the server ended the connection `fd` within `timeout`.
bool ClosedByServer(int fd, std::chrono::milliseconds timeout);

// A connection kept open: an event stream, or just a held slot.
class HttpStream {
public:
    // `from`: the loopback address the client connects from.
    HttpStream(int port, const std::string& target, const std::string& from = "127.0.0.1");
    ~HttpStream();
    HttpStream(const HttpStream&) = delete;
    HttpStream& operator=(const HttpStream&) = delete;
    // The next "data:" payload of an event named `event`; "" on timeout or close.
    std::string NextEvent(const std::string& event, std::chrono::milliseconds timeout);
    // Whether the server answered with a status line within `timeout`, and which.
    int Status(std::chrono::milliseconds timeout);

private:
    bool Fill(std::chrono::steady_clock::time_point deadline);
    int fd_ = -1;
    std::string buffer_;
    bool head_done_ = false;
};

}  // namespace tools_test
