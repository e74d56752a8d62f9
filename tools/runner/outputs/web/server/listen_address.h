#pragma once
// Where the web view listens: "8080" (loopback), "0.0.0.0:8080", "[::1]:8080".

#include <sys/socket.h>

#include <string>

namespace runner::outputs {

// Parses `text` into an AF_INET or AF_INET6 address with its port; a bare port
// means 127.0.0.1. Port 0 lets the system choose. `out` may be null to only
// check. On failure `why` names what is wrong.
bool ParseListenAddress(const std::string& text, sockaddr_storage* out, std::string* why);

// Whether only this machine can reach `address` (127.0.0.0/8, ::1).
bool IsLoopback(const sockaddr_storage& address);

// "127.0.0.1:8080" or "[::1]:8080".
std::string ListenAddressText(const sockaddr_storage& address);

}  // namespace runner::outputs
