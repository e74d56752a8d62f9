#include "tools/runner/listen_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>

namespace runner {
namespace {

bool ParsePort(const std::string& text, unsigned* port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535) return false;
    *port = value;
    return true;
}

}  // namespace

bool ParseListenAddress(const std::string& text, ListenAddress* out, std::string* why) {
    std::string host = "127.0.0.1";
    std::string port_text = text;
    bool ipv6 = false;
    const auto colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        port_text = text.substr(colon + 1);
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
            host = host.substr(1, host.size() - 2);
            ipv6 = true;
        }
    }
    unsigned port = 0;
    if (!ParsePort(port_text, &port)) {
        *why = "port must be 0..65535";
        return false;
    }
    ListenAddress parsed;
    if (ipv6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&parsed.address);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(static_cast<std::uint16_t>(port));
        if (::inet_pton(AF_INET6, host.c_str(), &a->sin6_addr) != 1) {
            *why = "not an IPv6 address: " + host;
            return false;
        }
        parsed.length = sizeof(sockaddr_in6);
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&parsed.address);
        a->sin_family = AF_INET;
        a->sin_port = htons(static_cast<std::uint16_t>(port));
        if (::inet_pton(AF_INET, host.c_str(), &a->sin_addr) != 1) {
            *why = "not an IPv4 address (IPv6 goes in brackets): " + host;
            return false;
        }
        parsed.length = sizeof(sockaddr_in);
    }
    parsed.ipv6 = ipv6;
    parsed.text = ListenAddressText(parsed, port);
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
