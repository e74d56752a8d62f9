#include "tools/runner/outputs/mqtt/mqtt_publisher.h"

#include <poll.h>

#include <algorithm>
#include <utility>

#include "tools/common/time_text.h"
#include "tools/runner/outputs/mqtt/mqtt_messages.h"

namespace runner::outputs {
namespace {

using std::chrono::milliseconds;

constexpr std::size_t kWindow = 20;                     // rounds sent and not yet acknowledged
constexpr auto kFinishGrace = std::chrono::seconds(3);  // for the queue to drain at the end

}  // namespace

MqttPublisher::MqttPublisher(MqttSettings settings, const console::Console& console)
    : settings_(std::move(settings)),
      console_(console),
      availability_topic_(AvailabilityTopic(settings_.prefix)),
      queue_(settings_.queue_per_device) {}

void MqttPublisher::Start(const DeviceList& devices) {
    devices_ = &devices;
    queue_.set_capacity(settings_.queue_per_device * std::max<std::size_t>(1, devices.size()));
    for (const DeviceStatus* device : devices) told_[device->data_id].state = StateName(*device);
}

void MqttPublisher::OnRound(const CompletedRound& round) {
    if (round.record == nullptr) return;  // only 32-cell records have a message format
    Told& told = told_[round.device.data_id];
    told.has_record = true;
    told.record = *round.record;
    told.state = StateName(round.device);
    QueueState(round.device, told, false);
    PublishAvailability(round.device, false);
}

// Bad news goes out at once; a device that recovers says so with its next
// round, whose values are current again.
void MqttPublisher::OnStatus(const DeviceStatus& device, line::LinkState) {
    PublishAvailability(device, false);
    Told& told = told_[device.data_id];
    const std::string state = StateName(device);
    if (Available(device) || state == told.state) return;
    told.state = state;
    QueueState(device, told, true);
}

void MqttPublisher::QueueState(const DeviceStatus& device, const Told& told, bool state_change) {
    QueuedRound message;
    message.data_id = device.data_id;
    message.round = device.rounds;
    message.state = told.state;
    message.state_change = state_change;
    message.has_record = told.has_record;
    message.record = told.record;
    message.port_state = device.port_state;
    message.energy = device.energy;
    Queue(std::move(message));
}

void MqttPublisher::PublishAvailability(const DeviceStatus& device, bool again) {
    Told& told = told_[device.data_id];
    const int available = Available(device) ? 1 : 0;
    if (!connection_.connected() || (!again && told.available == available)) return;
    told.available = available;
    connection_.Publish(DeviceAvailabilityTopic(settings_.prefix, device.data_id),
                        available ? "online" : "offline", nullptr);
}

void MqttPublisher::OnAlarm(const AlarmChange& change) {
    active_.Apply(change);
    if (connection_.connected() && !sets_due_) PublishAlarms(change.data_id);
    // An alarm active since the last stop was told when it was raised.
    if (change.kind == alarm_log::AlarmKind::kActive) return;
    QueuedRound message;
    message.data_id = change.data_id;
    message.alarm = alarm_log::AlarmJson(change);
    Queue(std::move(message));
}

void MqttPublisher::OnSiteReloaded(const SiteChange& change) {
    if (!change.refused.empty() || devices_ == nullptr) return;
    queue_.set_capacity(settings_.queue_per_device * std::max<std::size_t>(1, devices_->size()));
    for (const std::uint32_t id : change.removed) {
        told_.erase(id);
        removed_.push_back(id);
    }
    for (const auto* ids : {&change.added, &change.restarted}) {
        for (const std::uint32_t id : *ids) {
            removed_.erase(std::remove(removed_.begin(), removed_.end(), id), removed_.end());
            told_.erase(id);
            const DeviceStatus* device = FindDevice(*devices_, id);
            if (device == nullptr) continue;
            told_[id].state = StateName(*device);
            if (connection_.connected()) Describe(*device);
        }
    }
    if (connection_.connected()) ForgetRemoved();
}

void MqttPublisher::Describe(const DeviceStatus& device) {
    PublishAvailability(device, true);
    if (!settings_.discovery) return;
    for (const MqttMessage& m : DiscoveryMessages(settings_.discovery_prefix, settings_.prefix,
                                                  device, settings_.expire_after_s)) {
        connection_.Publish(m.topic, m.payload, nullptr);
    }
}

void MqttPublisher::ForgetRemoved() {
    for (const std::uint32_t id : removed_) {
        if (settings_.discovery) {
            for (const std::string& topic :
                 DiscoveryTopics(settings_.discovery_prefix, settings_.prefix, id))
                connection_.Publish(topic, "", nullptr);
        }
        connection_.Publish(DeviceAvailabilityTopic(settings_.prefix, id), "offline", nullptr);
    }
    removed_.clear();
}

void MqttPublisher::PublishAlarms(std::uint32_t data_id) {
    connection_.Publish(AlarmsTopic(settings_.prefix, data_id), AlarmsPayload(data_id, active_),
                        nullptr);
}

void MqttPublisher::Queue(QueuedRound message) {
    const bool kept_all = queue_.Push(std::move(message));
    if (!kept_all && !reported_overflow_) {
        reported_overflow_ = true;
        console_.Problem("mqtt: queue full (" + std::to_string(queue_.capacity()) +
                         " rounds): dropping the oldest until the broker takes them");
    }
    if (connection_.connected()) Pump();
}

void MqttPublisher::Pump() {
    while (const QueuedRound* next = queue_.NextToSend(kWindow)) {
        int mid = 0;
        const std::string error =
            !next->alarm.empty()
                ? connection_.Publish(AlarmTopic(settings_.prefix, next->data_id), next->alarm,
                                      &mid, false)
                : connection_.Publish(
                      StateTopic(settings_.prefix, next->data_id),
                      next->has_record ? StatePayload(next->record, next->round, next->energy,
                                                      next->state, next->port_state)
                                       : StatePayload(next->data_id, next->state, next->port_state),
                      &mid);
        if (!error.empty()) return connection_.Abandon("publishing: " + error);
        queue_.MarkSent(mid, Clock::now());
    }
    // Once the backlog is on its way: every device's active alarms, also the
    // empty sets, since a set retained by an earlier run may be stale.
    if (sets_due_ && queue_.all_sent() && devices_ != nullptr) {
        sets_due_ = false;
        for (const DeviceStatus* device : *devices_) PublishAlarms(device->data_id);
    }
}

void MqttPublisher::Served() { Pump(); }

void MqttPublisher::Connected() {
    connection_.Publish(availability_topic_, "online", nullptr);
    sets_due_ = true;
    if (devices_ != nullptr) {
        for (const DeviceStatus* device : *devices_) Describe(*device);
    }
    ForgetRemoved();
    std::string line = "mqtt: connected to " + connection_.where() + " as " +
                       connection_.client_id() + ", publishing under " + settings_.prefix + "/";
    const std::size_t queued = queue_.size();
    if (queued > 0) line += "; sending " + console::Count(queued, "queued round", "queued rounds");
    const std::uint64_t dropped = queue_.dropped() - dropped_at_last_report_;
    if (dropped > 0)
        line += "; " + console::Count(dropped, "oldest round was", "oldest rounds were") +
                " dropped (queue full)";
    dropped_at_last_report_ = queue_.dropped();
    reported_down_ = false;
    reported_overflow_ = false;
    connected_once_ = true;
    if (!flapping_) console_.Note(line);
}

void MqttPublisher::Settled() {
    if (!std::exchange(flapping_, false)) return;
    console_.Note("mqtt: the connection to " + connection_.where() + " as " +
                  connection_.client_id() + " holds again");
}

void MqttPublisher::Acknowledged(int mid) {
    if (mid == offline_mid_) offline_acked_ = true;
    queue_.Acknowledge(mid, Clock::now());
}

void MqttPublisher::Failed(const std::string& why, int brief_in_a_row) {
    queue_.Rewind();
    // Accepted, then dropped within seconds, twice in a row: a broker does
    // that to a client when another connects with the same client id.
    if (brief_in_a_row >= 2 && !flapping_) {
        flapping_ = true;
        if (!std::exchange(flapping_named_, true)) {
            console_.Problem("mqtt: the broker at " + connection_.where() +
                             " drops each connection within seconds (" + why +
                             "): most likely another client connects with the same client id " +
                             connection_.client_id() +
                             " (two runners with one --mqtt-prefix?); rounds queue, and it tries "
                             "again less and less often");
        }
    }
    if (reported_down_ || flapping_) return;
    reported_down_ = true;
    const std::string where = connection_.where();
    const std::string hold = "rounds queue (up to " + std::to_string(queue_.capacity()) + ")";
    console_.Problem(connected_once_ ? "mqtt: lost the broker at " + where + " (" + why + "); " +
                                           hold + " and it reconnects"
                                     : "mqtt: cannot reach the broker at " + where + " (" + why +
                                           "); polling goes on, " + hold + " and it keeps trying");
}

void MqttPublisher::Finish() {
    const auto deadline = Clock::now() + kFinishGrace;
    std::vector<pollfd> fds;
    // Not connected: no new attempts now, nor waiting for one under way (the
    // time limit holds). Connected: the queue drains, then "offline" goes out
    // and its acknowledgement ends the wait.
    for (auto now = Clock::now(); now < deadline && connection_.connected() && !offline_acked_;
         now = Clock::now()) {
        if (connection_.connected() && queue_.size() == 0 && offline_mid_ < 0) {
            // The devices' readings stop with the runner; the runner's
            // "offline" goes last, its acknowledgement ending the wait.
            if (devices_ != nullptr) {
                for (const DeviceStatus* device : *devices_)
                    connection_.Publish(DeviceAvailabilityTopic(settings_.prefix, device->data_id),
                                        "offline", nullptr);
            }
            connection_.Publish(availability_topic_, "offline", &offline_mid_);
        }
        fds.clear();
        auto wake = std::min(deadline, now + milliseconds(50));
        connection_.AddWaits(fds, wake);
        const auto wait = std::chrono::duration_cast<milliseconds>(wake - now).count();
        ::poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(0, wait)));
        connection_.HandleWaits(fds.data(), fds.size(), Clock::now());
    }
    // The queue did not drain in time: still leave no stale "online".
    if (connection_.connected() && offline_mid_ < 0) {
        connection_.Publish(availability_topic_, "offline", nullptr);
    }
    const std::uint64_t undelivered = queue_.size();
    connection_.Close();
    Report(undelivered);
}

void MqttPublisher::Report(std::uint64_t undelivered) const {
    std::string line = "mqtt: " + console::Count(queue_.acknowledged(), "round", "rounds");
    if (queue_.acknowledged_states() != 0)
        line +=
            ", " + console::Count(queue_.acknowledged_states(), "state change", "state changes");
    if (queue_.acknowledged_alarms() != 0)
        line +=
            " and " + console::Count(queue_.acknowledged_alarms(), "alarm change", "alarm changes");
    line += " acknowledged by the broker";
    const std::uint64_t acknowledged =
        queue_.acknowledged() + queue_.acknowledged_states() + queue_.acknowledged_alarms();
    if (acknowledged > 0) {
        line +=
            " (round trip " + time_text::Milliseconds(queue_.round_trip_total() / acknowledged) +
            " ms on average, " + time_text::Milliseconds(queue_.round_trip_max()) + " ms at most)";
    }
    line += ", " + std::to_string(queue_.resent()) + " sent again after a reconnect, " +
            std::to_string(queue_.dropped()) + " dropped (queue full), " +
            std::to_string(undelivered) + " undelivered at exit";
    if (undelivered > 0 || queue_.dropped() > 0) {
        console_.Problem(line);
    } else {
        console_.Note(line);
    }
}

}  // namespace runner::outputs
