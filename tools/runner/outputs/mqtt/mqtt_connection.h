#pragma once
// One broker connection at a time, from the runner's own thread: the name
// looked up by glibc's asynchronous resolver, the connection made and served
// by libmosquitto in non-blocking steps on a socket that joins the runner's
// loop, and after a failure a new attempt after a back-off. Each attempt is a
// fresh client with a clean session and a last will that says "offline".
//
// The back-off starts over only after a connection that held for a while: a
// broker that drops every connection at once (another client with the same
// id taking it over, a login accepted and then thrown out) is tried less and
// less often, not twice a second for ever.

#include <netdb.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tools/runner/loop/participant.h"
#include "tools/runner/outputs/mqtt/mqtt_settings.h"

struct mosquitto;

namespace runner::outputs {

class MqttConnection {
public:
    using Clock = loop::Clock;

    // What happens on the connection, told as it happens.
    class Events {
    public:
        virtual ~Events() = default;
        // The broker accepted the connection.
        virtual void Connected() = 0;
        // The broker acknowledged the message sent under `mid`.
        virtual void Acknowledged(int mid) = 0;
        // An attempt failed or the connection was lost; another follows.
        // `brief_in_a_row` counts the connections in a row, this one included,
        // that the broker accepted and closed again within seconds.
        virtual void Failed(const std::string& why, int brief_in_a_row) = 0;
        // The connection has held for some seconds.
        virtual void Settled() = 0;
        // The connection was served (after Connected, on every pass): room to send.
        virtual void Served() = 0;
    };

    // `settings.prefix` must be set: the client id and the will's topic come from it.
    MqttConnection(const MqttSettings& settings, Events& events);
    ~MqttConnection();
    MqttConnection(const MqttConnection&) = delete;
    MqttConnection& operator=(const MqttConnection&) = delete;

    void AddWaits(std::vector<pollfd>& fds, Clock::time_point& wake);
    void HandleWaits(const pollfd* fds, std::size_t count, Clock::time_point now);

    bool connected() const { return phase_ == Phase::kConnected; }
    // Whether an attempt is under way or the connection is up.
    bool busy() const { return phase_ != Phase::kWaiting; }
    // At QoS 1, retained unless `retain` is false. "" on success, else what
    // libmosquitto said.
    std::string Publish(const std::string& topic, const std::string& payload, int* mid,
                        bool retain = true);
    // Gives the connection up for `why`; another attempt follows after the back-off.
    void Abandon(const std::string& why) { Fail(why, Clock::now()); }
    // Ends the connection for good: disconnects, writes what it can, stops trying.
    void Close();

    const std::string& where() const { return where_; }  // host:port
    const std::string& client_id() const { return client_id_; }

private:
    enum class Phase { kWaiting, kResolving, kConnecting, kConnected };

    void StartAttempt(Clock::time_point now);
    void CheckLookup(Clock::time_point now);
    void Connect(const std::string& address, Clock::time_point now);
    void Service(short revents, Clock::time_point now);
    void Fail(const std::string& why, Clock::time_point now);
    void Teardown();
    void EndLookup();

    static void OnConnack(mosquitto* mosq, void* self, int rc);
    static void OnPublished(mosquitto* mosq, void* self, int mid);

    const MqttSettings& settings_;
    Events& events_;
    std::string where_;
    std::string client_id_;
    std::string will_topic_;
    Phase phase_ = Phase::kWaiting;
    mosquitto* mosq_ = nullptr;
    // A name lookup in progress, with all that the resolver's thread reads: one
    // that cannot be cancelled is left to that thread whole, as it may outlive us.
    struct NameLookup {
        std::string name;
        addrinfo hints{};
        gaicb request{};
    };
    std::unique_ptr<NameLookup> lookup_;
    Clock::time_point next_attempt_{};
    Clock::time_point connect_deadline_{};
    Clock::duration backoff_;
    std::minstd_rand jitter_;
    std::string failure_;  // set inside libmosquitto's callbacks, acted on after
    bool closed_ = false;
    Clock::time_point connected_at_{};
    bool settled_ = false;
    int brief_in_a_row_ = 0;
};

// What a failure of libmosquitto (`rc`) means, in a few words; `connecting`:
// before the broker accepted the connection; `saved_errno`: errno right after
// the call.
std::string MqttFailureReason(int rc, bool connecting, int saved_errno);

}  // namespace runner::outputs
