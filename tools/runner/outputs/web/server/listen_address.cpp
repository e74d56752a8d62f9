#include "tools/runner/outputs/web/server/listen_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include "tools/common/command_line.h"

namespace runner::outputs {

bool ParseListenAddress(const std::string& text, sockaddr_storage* out, std::string* why) {
    const auto colon = text.rfind(':');
    std::string host = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
    const auto port = command_line::ParseInteger(
        colon == std::string::npos ? text : text.substr(colon + 1), 0, 65535);
    if (!port) {
        *why = "port must be 0..65535";
        return false;
    }
    sockaddr_storage parsed{};
    const bool ipv6 = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    auto* v4 = reinterpret_cast<sockaddr_in*>(&parsed);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&parsed);
    if (ipv6) {
        host = host.substr(1, host.size() - 2);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(*port));
    } else {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(*port));
    }
    if (ipv6 && ::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) != 1) {
        *why = "not an IPv6 address: " + host;
        return false;
    }
    if (!ipv6 && ::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) != 1) {
        *why = "not an IPv4 address (IPv6 goes in brackets): " + host;
        return false;
    }
    if (out != nullptr) *out = parsed;
    return true;
}

bool IsLoopback(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
    }
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    return address.ss_family == AF_INET6 && IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr);
}

std::string ListenAddressText(const sockaddr_storage& address) {
    char host[NI_MAXHOST] = "?";
    char port[NI_MAXSERV] = "?";
    ::getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host, sizeof host,
                  port, sizeof port, NI_NUMERICHOST | NI_NUMERICSERV);
    const std::string host_text =
        address.ss_family == AF_INET6 ? "[" + std::string(host) + "]" : host;
    return host_text + ":" + port;
}

}  // namespace runner::outputs
