// The queue between completed rounds and the broker: rounds leave it only
// when acknowledged, go out again in order after a lost connection, and the
// oldest waiting give way beyond the bound, never one in flight (it may still
// arrive, and then it was not lost).

#include "tools/runner/outputs/mqtt/mqtt_round_queue.h"

#include <gtest/gtest.h>

namespace runner::outputs {
namespace {

using Clock = MqttRoundQueue::Clock;

QueuedRound Round(std::uint64_t n) {
    QueuedRound r;
    r.data_id = 7;
    r.round = n;
    r.state = "polling";
    return r;
}

// Hands out rounds up to the window, each under mid = 100 + round; returns
// their round numbers.
std::vector<std::uint64_t> SendAll(MqttRoundQueue& q, std::size_t window) {
    std::vector<std::uint64_t> sent;
    while (const QueuedRound* next = q.NextToSend(window)) {
        sent.push_back(next->round);
        q.MarkSent(static_cast<int>(100 + next->round), Clock::now());
    }
    return sent;
}

TEST(MqttRoundQueue, KeepsARoundUntilItAndEveryOlderOneAreAcknowledged) {
    MqttRoundQueue q(10);
    for (int n = 1; n <= 5; ++n) ASSERT_TRUE(q.Push(Round(n)));
    EXPECT_EQ(SendAll(q, 2), (std::vector<std::uint64_t>{1, 2}));  // the window is full
    EXPECT_TRUE(q.Acknowledge(102, Clock::now()));                 // out of order
    EXPECT_EQ(q.size(), 5u);
    EXPECT_EQ(SendAll(q, 2), (std::vector<std::uint64_t>{3}));
    EXPECT_TRUE(q.Acknowledge(101, Clock::now()));
    EXPECT_EQ(q.size(), 3u);  // 1 and 2 gone, 3 in flight, 4 and 5 waiting
    EXPECT_FALSE(q.Acknowledge(101, Clock::now()));
    EXPECT_EQ(q.acknowledged(), 2u);
}

TEST(MqttRoundQueue, ALostConnectionSendsTheUnacknowledgedAgainInOrder) {
    MqttRoundQueue q(10);
    for (int n = 1; n <= 4; ++n) q.Push(Round(n));
    EXPECT_EQ(SendAll(q, 3), (std::vector<std::uint64_t>{1, 2, 3}));
    q.Acknowledge(102, Clock::now());
    q.Rewind();
    EXPECT_EQ(q.awaiting_ack(), 0u);
    EXPECT_EQ(SendAll(q, 10), (std::vector<std::uint64_t>{1, 3, 4}));
    EXPECT_EQ(q.resent(), 2u);
    EXPECT_FALSE(q.Acknowledge(102, Clock::now()));  // a mid of the old connection
}

TEST(MqttRoundQueue, DropsTheOldestWaitingBeyondTheBoundNeverOneInFlight) {
    MqttRoundQueue q(2);
    for (int n = 1; n <= 4; ++n) q.Push(Round(n));  // 1 and 2 dropped: nothing in flight
    EXPECT_EQ(q.dropped(), 2u);
    EXPECT_EQ(SendAll(q, 2), (std::vector<std::uint64_t>{3, 4}));
    EXPECT_TRUE(q.Push(Round(5)));
    EXPECT_TRUE(q.Push(Round(6)));  // two waiting beside the two in flight
    EXPECT_FALSE(q.Push(Round(7)));
    EXPECT_EQ(q.dropped(), 3u);
    EXPECT_EQ(q.awaiting_ack(), 2u);
    EXPECT_TRUE(q.Acknowledge(103, Clock::now()));  // in flight, so still held
    EXPECT_TRUE(q.Acknowledge(104, Clock::now()));
    EXPECT_EQ(SendAll(q, 2), (std::vector<std::uint64_t>{6, 7}));  // 5 was the oldest waiting
    q.Rewind();  // a lost connection: what was in flight waits again, and counts again
    EXPECT_FALSE(q.Push(Round(8)));
    EXPECT_EQ(SendAll(q, 10), (std::vector<std::uint64_t>{7, 8}));
}

}  // namespace
}  // namespace runner::outputs
