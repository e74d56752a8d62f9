#include "tools/runner/outputs/web/server/event_streams.h"

#include <microhttpd.h>

#include <algorithm>
#include <cstring>

namespace runner::outputs {

MHD_Response* EventStreams::Open(MHD_Connection* connection) {
    // The first bytes go out at once, so the browser sees the stream open.
    Client& client = clients_.emplace_back(Client{this, connection, "retry: 3000\n\n"});
    MHD_Response* response = MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, 4096, &EventStreams::Read, &client, &EventStreams::Free);
    if (response == nullptr) {
        clients_.pop_back();
    } else {
        ++opened_;
    }
    return response;
}

bool EventStreams::Publish(const std::string& event) {
    bool resumed = false;
    for (Client& c : clients_) {
        if (c.ended) continue;
        if (c.pending.size() - c.sent + event.size() > kBufferLimit) {
            // Not reading: drop it rather than hold more. If its socket never
            // takes another byte, the short timeout closes it.
            c.ended = c.dropped = true;
            std::string().swap(c.pending);
            ++dropped_;
            MHD_set_connection_option(c.connection, MHD_CONNECTION_OPTION_TIMEOUT, 1u);
        } else {
            c.pending.erase(0, c.sent);
            c.pending += event;
        }
        c.sent = 0;
        resumed = Resume(c) || resumed;
    }
    return resumed;
}

void EventStreams::EndAll() {
    for (Client& c : clients_) {
        c.ended = true;
        Resume(c);
    }
}

bool EventStreams::Resume(Client& client) {
    if (!client.suspended) return false;
    client.suspended = false;
    MHD_resume_connection(client.connection);
    return true;
}

ssize_t EventStreams::Read(void* cls, std::uint64_t, char* out, std::size_t max) {
    Client& c = *static_cast<Client*>(cls);
    if (c.ended) {
        return c.dropped ? MHD_CONTENT_READER_END_WITH_ERROR : MHD_CONTENT_READER_END_OF_STREAM;
    }
    if (c.sent == c.pending.size()) {
        c.pending.clear();
        c.sent = 0;
        // Nothing to send: park the connection until the next event.
        MHD_suspend_connection(c.connection);
        c.suspended = true;
        return 0;
    }
    const std::size_t n = std::min(max, c.pending.size() - c.sent);
    std::memcpy(out, c.pending.data() + c.sent, n);
    c.sent += n;
    return static_cast<ssize_t>(n);
}

void EventStreams::Free(void* cls) {
    Client* gone = static_cast<Client*>(cls);
    auto& clients = gone->owner->clients_;
    clients.remove_if([gone](const Client& c) { return &c == gone; });
}

}  // namespace runner::outputs
