// Line timing of the simulator: commands and replies take their time on the
// wire, replies arrive in FIFO-sized pieces, and a command sent into an
// exchange in progress collides.

#include "tools/module/half_duplex_line.h"

#include <gtest/gtest.h>

namespace module {
namespace {

using namespace std::chrono_literals;
using Clock = HalfDuplexLine::Clock;

// Ten bit times (8N1) per byte.
constexpr auto kByteAt19200 = 520833ns;
constexpr auto kByteAt9600 = 1041666ns;

Transmission Reply(std::size_t bytes, std::chrono::milliseconds delay) {
    Transmission t;
    t.delay = delay;
    for (std::size_t i = 0; i < bytes; ++i) t.bytes.push_back(static_cast<std::uint8_t>(i + 1));
    return t;
}

TEST(HalfDuplexLine, RepliesLeaveAfterTheCommandAndTurnaroundAtTheLineRate) {
    HalfDuplexLine line(19200);
    const auto byte = kByteAt19200;
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
    const auto t1 = reply_start + 67 * byte;
    HalfDuplexLine early = line;
    EXPECT_FALSE(early.HostBytes(5, t1 - 1ns, pending)) << "busy until the reply's last byte";

    // A short reply comes whole; a second transmission follows the first's end.
    pending.clear();
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
    const auto byte = kByteAt19200;
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
    // The reply keeps the line busy to its last byte; a command after the
    // colliding one's bytes is heard again.
    const auto late_clash = t0 + 5 * byte + 10ms + 67 * byte - 1ns;
    EXPECT_FALSE(line.HostBytes(5, late_clash, pending));
    EXPECT_EQ(line.collisions(), 2u);
    EXPECT_TRUE(line.HostBytes(5, late_clash + 5 * byte, pending));
}

TEST(HalfDuplexLine, DuringTheTurnaroundToo) {
    HalfDuplexLine line(9600);
    const Clock::time_point t0{1s};
    std::deque<HalfDuplexLine::Piece> pending;
    ASSERT_TRUE(line.HostBytes(5, t0, pending));
    std::vector<Transmission> answer;
    answer.push_back(Reply(5, 40ms));
    line.Answer(answer, pending);
    EXPECT_FALSE(line.HostBytes(5, t0 + 5 * kByteAt9600 + 1ms, pending));
    for (auto b : pending[0].bytes) EXPECT_EQ(b, HalfDuplexLine::kCorruptByte);
}

// An echoing line gives the host its command back as the last byte crosses,
// ahead of the answer, and garbled when the command collided. The host's
// wait from an answer's end to its next command is measured.
TEST(HalfDuplexLine, AnEchoComesBackAsTheCommandCrossesAndTheWaitAfterAnAnswerIsMeasured) {
    HalfDuplexLine line(19200);
    const auto byte = kByteAt19200;
    const Clock::time_point t0{1s};
    const Bytes command = {0xFE, 0xFE, 0x01, 0xA2, 0xA3};
    std::deque<HalfDuplexLine::Piece> pending;
    ASSERT_TRUE(line.HostBytes(5, t0, pending));
    line.Answer({Reply(5, 10ms)}, pending);
    line.Echo(command, pending);
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[0].bytes, command) << "the echo goes first";
    EXPECT_EQ(pending[0].due, t0 + 5 * byte);
    const auto answer_end = t0 + 10 * byte + 10ms;
    EXPECT_EQ(pending[1].due, answer_end);
    EXPECT_EQ(line.reply_to_command().count, 0u);

    // Into the answer: the echo of the colliding command is garbled too.
    EXPECT_FALSE(line.HostBytes(5, answer_end - 1ms, pending));
    line.Echo(command, pending);
    ASSERT_EQ(pending.size(), 3u);
    EXPECT_EQ(pending[2].bytes, Bytes(5, HalfDuplexLine::kCorruptByte));
    EXPECT_EQ(line.reply_to_command().count, 0u) << "a collision is no wait";

    pending.clear();
    ASSERT_TRUE(line.HostBytes(5, answer_end + 3ms, pending));
    EXPECT_EQ(line.reply_to_command().count, 1u);
    EXPECT_EQ(line.reply_to_command().longest, 3ms);
    line.Answer({}, pending);
    ASSERT_TRUE(line.HostBytes(5, answer_end + 1s, pending));
    EXPECT_EQ(line.reply_to_command().count, 1u) << "an unanswered command is no answer's end";
    EXPECT_EQ(line.reply_to_command().total, 3ms);
}

TEST(HalfDuplexLine, AnUnansweredCommandFreesTheLineWhenItEnds) {
    HalfDuplexLine line(19200);
    const Clock::time_point t0{1s};
    std::deque<HalfDuplexLine::Piece> pending;
    ASSERT_TRUE(line.HostBytes(5, t0, pending));
    line.Answer({}, pending);
    // Written back to back, the next commands queue behind the first: no clash,
    // and the third is complete at the module after all fifteen bytes.
    EXPECT_TRUE(line.HostBytes(5, t0, pending));
    line.Answer({}, pending);
    EXPECT_TRUE(line.HostBytes(5, t0, pending));
    line.Answer({Reply(5, 0ms)}, pending);
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].due, t0 + 20 * kByteAt19200);
    EXPECT_EQ(line.collisions(), 0u);
}

}  // namespace
}  // namespace module
