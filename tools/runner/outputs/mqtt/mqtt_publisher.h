#pragma once
// Publishes every completed round to an MQTT broker (libmosquitto), from the
// runner's own thread: the connection's socket joins the runner's ppoll loop
// and every step (name lookup, connect, read, write, keep-alive) is
// non-blocking, so a slow or absent broker never holds up polling.
//
// Each connection is a fresh libmosquitto client with a clean session; rounds
// wait in MqttRoundQueue until the broker acknowledges them (QoS 1), so a lost
// connection loses nothing the queue can hold, and a subscriber may see a
// round twice, never out of order among first arrivals.

#include <netdb.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tools/common/console.h"
#include "tools/runner/outputs/mqtt/mqtt_output.h"
#include "tools/runner/outputs/mqtt/mqtt_round_queue.h"
#include "tools/runner/outputs/mqtt/mqtt_settings.h"

struct mosquitto;

namespace runner::outputs {

class MqttPublisher final : public MqttOutput {
public:
    using Clock = loop::Clock;
    // `settings.prefix` must be set.
    MqttPublisher(MqttSettings settings, const console::Console& console);
    ~MqttPublisher() override;
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // The site's devices bound the queue and are described in discovery.
    void Start(const DeviceList& devices) override;
    void OnRound(const CompletedRound& round) override;
    void AddWaits(std::vector<pollfd>& fds, Clock::time_point& wake) override;
    void HandleWaits(const pollfd* fds, std::size_t count, Clock::time_point now) override;
    // Once polling has ended: lets the queue drain for up to 3 s, says
    // "offline", disconnects and reports what was delivered.
    void Finish() override;

private:
    enum class Phase { kWaiting, kResolving, kConnecting, kConnected };

    void StartAttempt(Clock::time_point now);
    void CheckLookup(Clock::time_point now);
    void Connect(const std::string& address, Clock::time_point now);
    void Service(short revents, Clock::time_point now);
    void Pump(Clock::time_point now);
    int Publish(const std::string& topic, const std::string& payload, int* mid);
    void Announce();
    void Fail(const std::string& why, Clock::time_point now);
    void Teardown();
    void EndLookup();

    static void OnConnack(mosquitto* mosq, void* self, int rc);
    static void OnPublished(mosquitto* mosq, void* self, int mid);

    MqttSettings settings_;
    const console::Console& console_;
    const DeviceList* devices_ = nullptr;
    std::string where_;  // host:port
    std::string client_id_;
    std::string availability_topic_;

    MqttRoundQueue queue_;
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
    bool connected_once_ = false;
    bool reported_down_ = false;
    bool reported_overflow_ = false;
    std::uint64_t dropped_at_last_report_ = 0;
    int offline_mid_ = -1;
    bool offline_acked_ = false;
};

}  // namespace runner::outputs
