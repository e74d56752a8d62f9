#include "tools/runner/listen_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include "tools/common/command_line.h"

namespace runner {

bool ParseListenAddress(const std::string& text, ListenAddress* out, std::string* why) {
    const auto colon = text.rfind(':');
    std::string host = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
    const auto port = command_line::ParseInteger(
        colon == std::string::npos ? text : text.substr(colon + 1), 0, 65535);
    if (!port) {
        *why = "port must be 0..65535";
        return false;
    }
    ListenAddress parsed;
    parsed.ipv6 = host.size() >= 2 && host.front() == '[' && host.back() == ']';
    auto* v4 = reinterpret_cast<sockaddr_in*>(&parsed.address);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&parsed.address);
    if (parsed.ipv6) {
        host = host.substr(1, host.size() - 2);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(*port));
    } else {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(*port));
    }
    if (parsed.ipv6 && ::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) != 1) {
        *why = "not an IPv6 address: " + host;
        return false;
    }
    if (!parsed.ipv6 && ::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) != 1) {
        *why = "not an IPv4 address (IPv6 goes in brackets): " + host;
        return false;
    }
    parsed.text = ListenAddressText(parsed, static_cast<unsigned>(*port));
    if (out != nullptr) *out = parsed;
    return true;
}

std::string ListenAddressText(const ListenAddress& address, unsigned port) {
    char host[INET6_ADDRSTRLEN] = "";
    if (address.ipv6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&address.address);
        ::inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    const auto* a = reinterpret_cast<const sockaddr_in*>(&address.address);
    ::inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(port);
}

}  // namespace runner
