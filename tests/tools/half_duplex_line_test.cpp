// Line timing of the simulator: commands and replies take their time on the
// wire, replies arrive in FIFO-sized pieces, and a command sent into an
// exchange in progress collides.

#include "tools/sim/half_duplex_line.h"

#include <gtest/gtest.h>

namespace module_sim {
namespace {

using namespace std::chrono_literals;
using Clock = HalfDuplexLine::Clock;

Transmission Reply(std::size_t bytes, std::chrono::milliseconds delay) {
    Transmission t;
    t.delay = delay;
    for (std::size_t i = 0; i < bytes; ++i) t.bytes.push_back(static_cast<std::uint8_t>(i + 1));
    return t;
}

TEST(HalfDuplexLine, RepliesLeaveAfterTheCommandAndTurnaroundAtTheLineRate) {
    HalfDuplexLine line(19200);
    const auto byte = line.ByteTime();
    EXPECT_EQ(byte, 520833ns);
    const Clock::time_point t0{1s};
    std::deque<HalfDuplexLine::Piece> pending;
    ASSERT_TRUE(line.HostBytes(5, t0, pending));
    std::vector<Transmission> answer;
    answer.push_back(Reply(67, 10ms));
    line.Answer(answer, pending);

    const auto reply_start = t0 + 5 * byte + 10ms;
    ASSERT_EQ(pending.size(), 9u) << "eight pieces of 8 bytes and one of 3";
    EXPECT_EQ(pending[0].bytes.size(), 8u);
    EXPECT_EQ(pending[0].due, reply_start + 8 * byte);
    EXPECT_EQ(pending[8].bytes.size(), 3u);
    EXPECT_EQ(pending[8].bytes.back(), 67);
    EXPECT_EQ(pending[8].due, reply_start + 67 * byte);
    EXPECT_EQ(line.busy_until(), reply_start + 67 * byte);

    // A short reply comes whole; a second transmission follows the first's end.
    pending.clear();
    const auto t1 = line.busy_until();
    ASSERT_TRUE(line.HostBytes(5, t1, pending));
    answer.clear();
    answer.push_back(Reply(5, 0ms));
    answer.push_back(Reply(2, 20ms));
    line.Answer(answer, pending);
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[0].bytes.size(), 5u);
    EXPECT_EQ(pending[0].due, t1 + 10 * byte);
    EXPECT_EQ(pending[1].due, t1 + 10 * byte + 20ms + 2 * byte);
    EXPECT_EQ(line.collisions(), 0u);
}

TEST(HalfDuplexLine, ACommandIntoAnExchangeCollidesAndCorruptsWhatIsStillToCome) {
    HalfDuplexLine line(19200);
    const auto byte = line.ByteTime();
    const Clock::time_point t0{1s};
    std::deque<HalfDuplexLine::Piece> pending;
    ASSERT_TRUE(line.HostBytes(5, t0, pending));
    std::vector<Transmission> answer;
    answer.push_back(Reply(67, 10ms));
    line.Answer(answer, pending);

    // During the reply, after its second piece has crossed.
    const auto clash = t0 + 5 * byte + 10ms + 20 * byte;
    EXPECT_FALSE(line.HostBytes(5, clash, pending));
    EXPECT_EQ(line.collisions(), 1u);
    EXPECT_EQ(pending[1].bytes[0], 9) << "crossed before the clash: intact";
    for (std::size_t i = 2; i < pending.size(); ++i) {
        for (auto b : pending[i].bytes) EXPECT_EQ(b, HalfDuplexLine::kCorruptByte) << "piece " << i;
    }
    // The colliding command's own bytes keep the line busy while they last.
    EXPECT_FALSE(line.HostBytes(5, line.busy_until() - 1ns, pending));
    EXPECT_EQ(line.collisions(), 2u);
    EXPECT_TRUE(line.HostBytes(5, line.busy_until(), pending));
}

TEST(HalfDuplexLine, DuringTheTurnaroundToo) {
    HalfDuplexLine line(9600);
    const Clock::time_point t0{1s};
    std::deque<HalfDuplexLine::Piece> pending;
    ASSERT_TRUE(line.HostBytes(5, t0, pending));
    std::vector<Transmission> answer;
    answer.push_back(Reply(5, 40ms));
    line.Answer(answer, pending);
    EXPECT_FALSE(line.HostBytes(5, t0 + 5 * line.ByteTime() + 1ms, pending));
    for (auto b : pending[0].bytes) EXPECT_EQ(b, HalfDuplexLine::kCorruptByte);
}

TEST(HalfDuplexLine, AnUnansweredCommandFreesTheLineWhenItEnds) {
    HalfDuplexLine line(19200);
    const Clock::time_point t0{1s};
    std::deque<HalfDuplexLine::Piece> pending;
    ASSERT_TRUE(line.HostBytes(5, t0, pending));
    line.Answer({}, pending);
    EXPECT_EQ(line.busy_until(), t0 + 5 * line.ByteTime());
    // Written back to back, the next command queues behind the first: no clash.
    EXPECT_TRUE(line.HostBytes(5, t0, pending));
    line.Answer({}, pending);
    EXPECT_EQ(line.busy_until(), t0 + 10 * line.ByteTime());
    EXPECT_EQ(line.collisions(), 0u);
}

}  // namespace
}  // namespace module_sim
