#pragma once
// Publishes every completed round and every alarm change to an MQTT broker,
// over MqttConnection, which never holds up polling.
//
// A device that goes silent, loses its port or goes stale says so at once:
// a state message with its latest record and the new state, in line with its
// rounds, and "offline" on its own availability topic; "online" again once
// its readings are current.
//
// Rounds and alarm changes wait in MqttRoundQueue until the broker
// acknowledges them (QoS 1), so a lost connection loses nothing the queue can
// hold, and a subscriber may see one twice, never out of order among first
// arrivals. Each device's active alarms are published retained on every
// change, and on every connection once the queued backlog has gone out.
//
// A reload of the site file describes the devices it adds or restarts; a
// device it removes is taken out of discovery (its retained configs emptied)
// and its availability says "offline" for good, its last state kept.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/alarm_log/active_alarms.h"
#include "tools/common/console/console.h"
#include "tools/runner/outputs/mqtt/mqtt_connection.h"
#include "tools/runner/outputs/mqtt/mqtt_output.h"
#include "tools/runner/outputs/mqtt/mqtt_round_queue.h"
#include "tools/runner/outputs/mqtt/mqtt_settings.h"

namespace runner::outputs {

class MqttPublisher final : public MqttOutput, private MqttConnection::Events {
public:
    using Clock = loop::Clock;
    // `settings.prefix` must be set.
    MqttPublisher(MqttSettings settings, const console::Console& console);

    // The site's devices bound the queue and are described in discovery.
    void Start(const DeviceList& devices) override;
    void OnRound(const CompletedRound& round) override;
    void OnStatus(const DeviceStatus& device, line::LinkState before) override;
    void OnAlarm(const AlarmChange& change) override;
    void OnSiteReloaded(const SiteChange& change) override;
    void AddWaits(std::vector<pollfd>& fds, Clock::time_point& wake) override {
        connection_.AddWaits(fds, wake);
    }
    void HandleWaits(const pollfd* fds, std::size_t count, Clock::time_point now) override {
        connection_.HandleWaits(fds, count, now);
    }
    // Once polling has ended: lets the queue drain for up to 3 s, says
    // "offline", disconnects and reports what was delivered.
    void Finish() override;

private:
    void Connected() override;
    void Acknowledged(int mid) override;
    void Failed(const std::string& why, int brief_in_a_row) override;
    void Settled() override;
    void Served() override;
    // Queues a round or an alarm change and sends what it can.
    void Queue(QueuedRound message);
    // Sends queued rounds while the window has room.
    void Pump();
    void PublishAlarms(std::uint32_t data_id);
    // On a connection: the device's availability and its discovery configs.
    void Describe(const DeviceStatus& device);
    // On a connection: the devices a reload removed leave discovery.
    void ForgetRemoved();
    // The device's availability, when it differs from what was last published
    // (or with `again`, on a new connection).
    void PublishAvailability(const DeviceStatus& device, bool again);
    void Report(std::uint64_t undelivered) const;

    MqttSettings settings_;
    const console::Console& console_;
    const DeviceList* devices_ = nullptr;
    std::string availability_topic_;
    MqttRoundQueue queue_;
    alarm_log::ActiveAlarms active_;
    // Per device, by data id: its latest record (when it has one), the state
    // last queued and the availability last published.
    struct Told {
        bool has_record = false;
        Battery32_Data_t record{};
        std::string state;
        int available = -1;  // -1: not published on this connection
    };
    std::map<std::uint32_t, Told> told_;
    // Queues the device's state message as `told` has it: its latest record
    // (if any) with its state, its port and its energy counters.
    void QueueState(const DeviceStatus& device, const Told& told, bool state_change);
    std::vector<std::uint32_t> removed_;  // by a reload, not yet taken out of discovery
    MqttConnection connection_{settings_, *this};
    bool connected_once_ = false;
    bool sets_due_ = false;  // connected; the alarm sets go once the backlog is sent
    bool reported_down_ = false;
    bool reported_overflow_ = false;
    // Connections keep being dropped at once: they come and go without a line.
    bool flapping_ = false;
    bool flapping_named_ = false;
    std::uint64_t dropped_at_last_report_ = 0;
    int offline_mid_ = -1;
    bool offline_acked_ = false;
};

}  // namespace runner::outputs
