#include "tools/runner/outputs/web/server/request_guard.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace runner::outputs {
namespace {

// What the request line left for the access handler to know (its context).
char kFresh;
char kTooManyParameters;
char kJudged;  // judged already: a later call only brings a body, which is ignored

bool SameSecret(const std::string& secret, const char* given, std::size_t size) {
    if (given == nullptr || secret.empty()) return false;
    unsigned char diff = size == secret.size() ? 0 : 1;
    for (std::size_t i = 0; i < size; ++i)
        diff |= static_cast<unsigned char>(secret[i % secret.size()] ^ given[i]);
    return diff == 0;
}

// The name in a Host header without its port: "[::1]:8080" is "::1".
std::string HostName(const char* header) {
    const std::string host = header;
    if (!host.empty() && host[0] == '[') {
        const auto close = host.find(']');
        return close == std::string::npos ? std::string() : host.substr(1, close - 1);
    }
    return host.substr(0, host.find(':'));
}

// Whether `name` is the address the client reached on `fd` (an IPv4 client
// of an IPv6 socket shows as ::ffff:a.b.c.d there).
bool IsLocalAddress(const std::string& name, int fd) {
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0) return false;
    in_addr v4{};
    in6_addr v6{};
    if (::inet_pton(AF_INET, name.c_str(), &v4) == 1) {
        if (local.ss_family == AF_INET) {
            return reinterpret_cast<const sockaddr_in&>(local).sin_addr.s_addr == v4.s_addr;
        }
        const in6_addr& mapped = reinterpret_cast<const sockaddr_in6&>(local).sin6_addr;
        return local.ss_family == AF_INET6 && IN6_IS_ADDR_V4MAPPED(&mapped) &&
               std::memcmp(mapped.s6_addr + 12, &v4, 4) == 0;
    }
    return ::inet_pton(AF_INET6, name.c_str(), &v6) == 1 && local.ss_family == AF_INET6 &&
           std::memcmp(&reinterpret_cast<const sockaddr_in6&>(local).sin6_addr, &v6, sizeof v6) ==
               0;
}

bool HasBody(MHD_Connection* connection) {
    const char* length =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    return (length != nullptr && std::strcmp(length, "0") != 0) ||
           MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                       MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
}

}  // namespace

RequestGuard::RequestGuard(std::string token, std::vector<std::string> host_names)
    : token_(std::move(token)), host_names_(std::move(host_names)) {}

void* RequestGuard::RequestLine(void*, const char* uri, MHD_Connection*) {
    char* query = std::strchr(const_cast<char*>(uri), '?');
    if (query == nullptr) return &kFresh;
    std::size_t parameters = 1;
    for (const char* c = query + 1; *c != '\0'; ++c) parameters += *c == '&' ? 1 : 0;
    if (parameters <= kMostParameters) return &kFresh;
    // The server files each parameter in the connection's small memory next;
    // hundreds of them exhaust it where it can no longer answer at all. So
    // the query is cut off here, and the request refused.
    query[1] = '\0';
    return &kTooManyParameters;
}

void RequestGuard::ConnectionChanged(void* cls, MHD_Connection* connection, void** socket_context,
                                     MHD_ConnectionNotificationCode change) {
    auto& guard = *static_cast<RequestGuard*>(cls);
    if (change == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        guard.peers_.push_back(
            Peer{info != nullptr ? info->connect_fd : -1, false, Clock::now() + kRequestDeadline});
        *socket_context = &guard.peers_.back();
        return;
    }
    const Peer* gone = static_cast<Peer*>(*socket_context);
    guard.peers_.remove_if([gone](const Peer& p) { return &p == gone; });
    *socket_context = nullptr;
}

void RequestGuard::AnswerEnded(void*, MHD_Connection* connection, void**,
                               MHD_RequestTerminationCode) {
    if (Peer* peer = PeerOf(connection)) {
        peer->answering = false;
        peer->deadline = Clock::now() + kRequestDeadline;
    }
}

RequestGuard::Peer* RequestGuard::PeerOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info != nullptr ? static_cast<Peer*>(info->socket_context) : nullptr;
}

bool RequestGuard::Admit(MHD_Connection* connection, void** request, const char* url,
                         const char* method, std::optional<Refusal>* refusal) {
    if (*request == &kJudged) return false;
    const bool too_many_parameters = *request == &kTooManyParameters;
    *request = &kJudged;
    if (Peer* peer = PeerOf(connection)) peer->answering = true;
    *refusal = Judge(connection, url, method, too_many_parameters);
    return true;
}

std::optional<RequestGuard::Refusal> RequestGuard::Judge(MHD_Connection* connection,
                                                         const char* url, const char* method,
                                                         bool too_many_parameters) const {
    if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 &&
        std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        return Refusal{MHD_HTTP_METHOD_NOT_ALLOWED, "only GET and HEAD"};
    }
    if (HasBody(connection)) return Refusal{MHD_HTTP_CONTENT_TOO_LARGE, "no request bodies"};
    if (std::strlen(url) > kLongestPath) return Refusal{MHD_HTTP_URI_TOO_LONG, "path too long"};
    if (too_many_parameters) return Refusal{MHD_HTTP_URI_TOO_LONG, "too many query parameters"};
    if (!HostIsOurs(connection)) {
        return Refusal{MHD_HTTP_MISDIRECTED_REQUEST,
                       "Host: not a name of this server (--http-host NAME adds one)"};
    }
    if (!Authorized(connection)) return Refusal{MHD_HTTP_UNAUTHORIZED, "token needed"};
    return std::nullopt;
}

bool RequestGuard::HostIsOurs(MHD_Connection* connection) const {
    if (!token_.empty()) return true;  // the token decides
    const char* header =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_HOST);
    if (header == nullptr) return true;  // HTTP/1.0 without a Host: no browser asks that way
    const std::string name = HostName(header);
    if (::strcasecmp(name.c_str(), "localhost") == 0) return true;
    for (const std::string& ours : host_names_)
        if (::strcasecmp(name.c_str(), ours.c_str()) == 0) return true;
    const Peer* peer = PeerOf(connection);
    return peer != nullptr && IsLocalAddress(name, peer->fd);
}

bool RequestGuard::Authorized(MHD_Connection* connection) const {
    if (token_.empty()) return true;
    const char* value = nullptr;
    std::size_t size = 0;
    // The scheme is case-insensitive; the token is compared whole, NULs and all.
    if (MHD_lookup_connection_value_n(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_AUTHORIZATION,
                                      std::strlen(MHD_HTTP_HEADER_AUTHORIZATION), &value,
                                      &size) == MHD_YES &&
        size > 7 && ::strncasecmp(value, "Bearer", 6) == 0 &&
        (value[6] == ' ' || value[6] == '\t')) {
        std::size_t at = 6;
        while (at < size && (value[at] == ' ' || value[at] == '\t')) ++at;
        if (SameSecret(token_, value + at, size - at)) return true;
    }
    return MHD_lookup_connection_value_n(connection, MHD_GET_ARGUMENT_KIND, "token", 5, &value,
                                         &size) == MHD_YES &&
           SameSecret(token_, value, size);
}

RequestGuard::Clock::time_point RequestGuard::CloseLate(Clock::time_point now) {
    Clock::time_point next = Clock::time_point::max();
    for (Peer& peer : peers_) {
        if (peer.answering || peer.deadline == Clock::time_point::max()) continue;
        if (now < peer.deadline) {
            next = std::min(next, peer.deadline);
            continue;
        }
        // The server sees the end of the stream on its next run and closes the connection.
        ::shutdown(peer.fd, SHUT_RDWR);
        peer.deadline = Clock::time_point::max();
        ++closed_late_;
    }
    return next;
}

}  // namespace runner::outputs
