#include "tools/runner/outputs/mqtt/mqtt_round_queue.h"

#include <algorithm>

namespace runner::outputs {

bool MqttRoundQueue::Push(QueuedRound round) {
    bool kept_all = true;
    while (entries_.size() - sent_ >= capacity_) {
        entries_.erase(entries_.begin() + static_cast<long>(sent_));
        ++dropped_;
        kept_all = false;
    }
    entries_.push_back(Entry{std::move(round)});
    return kept_all;
}

const QueuedRound* MqttRoundQueue::NextToSend(std::size_t window) const {
    if (sent_ >= entries_.size() || awaiting_ack() >= window) return nullptr;
    return &entries_[sent_].round;
}

void MqttRoundQueue::MarkSent(int mid, Clock::time_point now) {
    if (sent_ >= entries_.size()) return;
    Entry& e = entries_[sent_++];
    if (e.sent_before) ++resent_;
    e.mid = mid;
    e.sent_before = true;
    e.sent_at = now;
}

bool MqttRoundQueue::Acknowledge(int mid, Clock::time_point now) {
    for (std::size_t i = 0; i < sent_; ++i) {
        Entry& e = entries_[i];
        if (e.acked || e.mid != mid) continue;
        e.acked = true;
        if (!e.round.alarm.empty()) {
            ++acknowledged_alarms_;
        } else if (e.round.state_change) {
            ++acknowledged_states_;
        } else {
            ++acknowledged_;
        }
        const auto rtt = now - e.sent_at;
        rtt_total_ += rtt;
        rtt_max_ = std::max(rtt_max_, rtt);
        for (; sent_ > 0 && entries_.front().acked; --sent_) entries_.pop_front();
        return true;
    }
    return false;
}

std::size_t MqttRoundQueue::awaiting_ack() const {
    return static_cast<std::size_t>(std::count_if(entries_.begin(),
                                                  entries_.begin() + static_cast<long>(sent_),
                                                  [](const Entry& e) { return !e.acked; }));
}

void MqttRoundQueue::Rewind() {
    // Acknowledged rounds behind an unacknowledged one are done: drop them.
    entries_.erase(std::remove_if(entries_.begin(), entries_.begin() + static_cast<long>(sent_),
                                  [](const Entry& e) { return e.acked; }),
                   entries_.begin() + static_cast<long>(sent_));
    for (Entry& e : entries_) e.mid = 0;
    sent_ = 0;
}

}  // namespace runner::outputs
