#pragma once
// Rounds and alarm changes on their way to the broker. Each stays here from
// the moment it happens until the broker acknowledges it (QoS 1 PUBACK): while
// the broker is away, while it is being sent, and while its acknowledgement is
// due. This queue is the only copy: a lost connection puts every
// unacknowledged message back in line, and they go out again, oldest first, on
// the next connection. The bound is on what waits to be sent: beyond it the
// oldest waiting is dropped and counted. What is in flight (at most the
// window) is never dropped, so every round counted as dropped is one no
// subscriber will see.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "battery32/battery32_data.h"
#include "tools/runner/energy/energy_counters.h"
#include "tools/runner/line/port_state.h"

namespace runner::outputs {

struct QueuedRound {
    std::uint32_t data_id = 0;
    std::uint64_t round = 0;
    std::string state;  // short words, kept in the string itself
    // A change of the device's state between rounds, told with its latest
    // record (`has_record`), or without one before its first round.
    bool state_change = false;
    bool has_record = true;
    Battery32_Data_t record{};
    std::string alarm;           // an alarm change instead of a round: its JSON
    line::PortState port_state;  // the device's port when the round completed
    energy::EnergyCounters energy;
};

class MqttRoundQueue {
public:
    using Clock = std::chrono::steady_clock;
    explicit MqttRoundQueue(std::size_t capacity) : capacity_(capacity ? capacity : 1) {}

    void set_capacity(std::size_t capacity) { capacity_ = capacity ? capacity : 1; }
    std::size_t capacity() const { return capacity_; }

    // Adds a completed round; returns false if the oldest waiting had to be dropped.
    bool Push(QueuedRound round);
    // The oldest round not yet handed to the connection, if fewer than
    // `window` await their acknowledgement.
    const QueuedRound* NextToSend(std::size_t window) const;
    // The round NextToSend gave went out under message id `mid`.
    void MarkSent(int mid, Clock::time_point now);
    // The broker acknowledged `mid`; false if no waiting round has it. The
    // acknowledgement's round trip is added to the figures below.
    bool Acknowledge(int mid, Clock::time_point now);
    // The connection is gone: every unacknowledged round waits to go out again.
    void Rewind();

    std::size_t size() const { return entries_.size(); }
    // Every message has been handed to the connection (some may await their PUBACK).
    bool all_sent() const { return sent_ >= entries_.size(); }
    std::size_t awaiting_ack() const;  // sent, not yet acknowledged
    std::uint64_t dropped() const { return dropped_; }
    std::uint64_t acknowledged() const { return acknowledged_; }  // rounds
    std::uint64_t acknowledged_states() const { return acknowledged_states_; }
    std::uint64_t acknowledged_alarms() const { return acknowledged_alarms_; }
    std::uint64_t resent() const { return resent_; }
    Clock::duration round_trip_total() const { return rtt_total_; }
    Clock::duration round_trip_max() const { return rtt_max_; }

private:
    struct Entry {
        QueuedRound round;
        int mid = 0;
        bool acked = false;
        bool sent_before = false;
        Clock::time_point sent_at{};
    };

    std::size_t capacity_;
    std::deque<Entry> entries_;
    std::size_t sent_ = 0;  // entries_[0, sent_) have been handed to the connection
    std::uint64_t dropped_ = 0;
    std::uint64_t acknowledged_ = 0;
    std::uint64_t acknowledged_states_ = 0;
    std::uint64_t acknowledged_alarms_ = 0;
    std::uint64_t resent_ = 0;
    Clock::duration rtt_total_{};
    Clock::duration rtt_max_{};
};

}  // namespace runner::outputs
