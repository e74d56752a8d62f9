#pragma once
// Where the web view listens: "8080" (loopback), "0.0.0.0:8080", "[::1]:8080".

#include <sys/socket.h>

#include <string>

namespace runner {

struct ListenAddress {
    sockaddr_storage address{};  // AF_INET or AF_INET6, port set
    bool ipv6 = false;
    std::string text;  // "127.0.0.1:8080", "[::1]:8080"
};

// Parses `text`; a bare port means 127.0.0.1. Port 0 lets the system choose.
// `out` may be null to only check. On failure `why` names what is wrong.
bool ParseListenAddress(const std::string& text, ListenAddress* out, std::string* why);

// "127.0.0.1:PORT" or "[::1]:PORT" for a bound address.
std::string ListenAddressText(const ListenAddress& address, unsigned port);

}  // namespace runner
