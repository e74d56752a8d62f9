#pragma once
// What a request to the web view must get past before it is answered, and
// how long a client may take to send it. Requests are small reads of the
// view's own paths: only GET and HEAD, no body, a short path, a few query
// parameters. Without a token, the Host header must name this server (its
// address, localhost or a name given with --http-host): a web page the user
// opens cannot then read the view through a name of its own that resolves to
// this machine (DNS rebinding). With a token, the token is the key.
//
// Each request must arrive whole, headers included, within a deadline from
// the connection's start or from the end of its previous answer: a client
// that trickles its headers loses its connection instead of holding it.
// Answers themselves (event streams, long histories) have no deadline.

#include <microhttpd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "tools/runner/loop/participant.h"

namespace runner::outputs {

class RequestGuard {
public:
    using Clock = loop::Clock;

    static constexpr std::size_t kLongestPath = 64;
    static constexpr std::size_t kMostParameters = 16;
    static constexpr auto kRequestDeadline = std::chrono::seconds(10);

    // `token` empty: none needed, and the Host header is checked instead.
    RequestGuard(std::string token, std::vector<std::string> host_names);

    // libmicrohttpd's hooks, with the guard as their closure: the request line
    // came (MHD_OPTION_URI_LOG_CALLBACK), a connection opened or closed
    // (MHD_OPTION_NOTIFY_CONNECTION), an answer ended (MHD_OPTION_NOTIFY_COMPLETED).
    static void* RequestLine(void* cls, const char* uri, MHD_Connection* connection);
    static void ConnectionChanged(void* cls, MHD_Connection* connection, void** socket_context,
                                  MHD_ConnectionNotificationCode change);
    static void AnswerEnded(void* cls, MHD_Connection* connection, void** request,
                            MHD_RequestTerminationCode why);

    struct Refusal {
        unsigned status;
        const char* why;
    };
    // For each call of the access handler, with its request context. False
    // for a later call of a request already judged (a body that came anyway);
    // on the first, `refusal` is set when the request must be refused.
    bool Admit(MHD_Connection* connection, void** request, const char* url, const char* method,
               std::optional<Refusal>* refusal);

    // Closes the connections whose request did not arrive whole in time;
    // returns when the next deadline falls (max: none).
    Clock::time_point CloseLate(Clock::time_point now);
    std::uint64_t closed_late() const { return closed_late_; }

private:
    struct Peer {
        int fd = -1;
        bool answering = false;  // the request came whole; its answer is under way
        Clock::time_point deadline;
    };
    std::optional<Refusal> Judge(MHD_Connection* connection, const char* url, const char* method,
                                 bool too_many_parameters) const;
    bool HostIsOurs(MHD_Connection* connection) const;
    bool Authorized(MHD_Connection* connection) const;
    static Peer* PeerOf(MHD_Connection* connection);

    std::string token_;
    std::vector<std::string> host_names_;
    std::list<Peer> peers_;
    std::uint64_t closed_late_ = 0;
};

}  // namespace runner::outputs
