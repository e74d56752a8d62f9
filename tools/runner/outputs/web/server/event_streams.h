#pragma once
// The open event streams (Server-Sent Events) of the web view. Each stream has
// its own outgoing buffer, bounded: a client that does not read falls behind
// until its buffer is full and is then dropped, so a stuck browser costs a
// fixed amount of memory and never waits anyone. An idle stream is suspended
// (no busy polling) and resumed when something is published.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

struct MHD_Connection;
struct MHD_Response;

namespace runner::outputs {

class EventStreams {
public:
    // Bytes one stream may have waiting; about six seconds of rounds of 16 devices.
    static constexpr std::size_t kBufferLimit = 64 * 1024;

    // A response that streams events to `connection`; null when out of memory.
    MHD_Response* Open(MHD_Connection* connection);
    // Queues `event` (a whole "event: ...\ndata: ...\n\n" block) on every stream.
    // True when a parked stream was resumed: the server must run soon.
    bool Publish(const std::string& event);
    // Ends every stream and resumes the suspended ones, so the server can stop.
    void EndAll();

    std::size_t open() const { return clients_.size(); }
    std::uint64_t opened() const { return opened_; }
    std::uint64_t dropped() const { return dropped_; }

private:
    struct Client {
        EventStreams* owner = nullptr;
        MHD_Connection* connection = nullptr;
        std::string pending;
        std::size_t sent = 0;
        bool suspended = false;
        bool ended = false;
        bool dropped = false;
    };
    static ssize_t Read(void* cls, std::uint64_t position, char* out, std::size_t max);
    static void Free(void* cls);
    bool Resume(Client& client);

    std::list<Client> clients_;
    std::uint64_t opened_ = 0;
    std::uint64_t dropped_ = 0;
};

}  // namespace runner::outputs
