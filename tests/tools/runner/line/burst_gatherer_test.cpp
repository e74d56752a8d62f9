#include "tools/runner/line/burst_gatherer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "tools/common/serial_port.h"

namespace runner::line {
namespace {

using namespace std::chrono_literals;
using Clock = BurstGatherer::Clock;
using Bytes = BurstGatherer::Bytes;

Bytes Sequence(std::size_t n, std::uint8_t from = 0) {
    Bytes b(n);
    std::iota(b.begin(), b.end(), from);
    return b;
}

TEST(BurstGatherer, HandsOverAtTheLimitInOrder) {
    BurstGatherer g(80, 2ms);
    const auto t = Clock::now();
    const Bytes in = Sequence(200);
    const auto full = g.Add(in.data(), in.size(), t);
    ASSERT_EQ(full.size(), 2u);
    EXPECT_EQ(full[0], Bytes(in.begin(), in.begin() + 80));
    EXPECT_EQ(full[1], Bytes(in.begin() + 80, in.begin() + 160));
    const auto rest = g.TakeIfQuiet(t + 2ms);
    ASSERT_TRUE(rest);
    EXPECT_EQ(*rest, Bytes(in.begin() + 160, in.end()));
}

TEST(BurstGatherer, WaitsForTheGapAfterTheLastByte) {
    BurstGatherer g(80, 2ms);
    const auto t = Clock::now();
    const Bytes head = Sequence(3), tail = Sequence(2, 3);
    EXPECT_TRUE(g.Add(head.data(), head.size(), t).empty());
    EXPECT_FALSE(g.TakeIfQuiet(t + 1ms));
    EXPECT_TRUE(g.Add(tail.data(), tail.size(), t + 1ms).empty());  // the line is still talking
    EXPECT_EQ(g.Deadline(), t + 3ms);
    EXPECT_FALSE(g.TakeIfQuiet(t + 2ms));
    const auto burst = g.TakeIfQuiet(t + 3ms);
    ASSERT_TRUE(burst);
    EXPECT_EQ(*burst, Sequence(5));
    EXPECT_FALSE(g.Deadline());
    EXPECT_FALSE(g.TakeIfQuiet(t + 10ms));
}

TEST(BurstGatherer, ExactlyTheLimitLeavesNothingHeld) {
    BurstGatherer g(80, 2ms);
    const Bytes in = Sequence(80);
    const auto t = Clock::now();
    EXPECT_EQ(g.Add(in.data(), in.size(), t).size(), 1u);
    EXPECT_FALSE(g.Deadline());
    EXPECT_FALSE(g.TakeIfQuiet(t + 1s));
}

// The command just sent tells the reply it asks for: its lead, the module's
// address and its length. Whole, it goes at once, however it came in; anything
// else waits for the gap.
TEST(BurstGatherer, AReplyGoesAsSoonAsItsLastByteCompletesWhatTheCommandAskedFor) {
    const Bytes cells_of_1 = [] {
        Bytes reply = Sequence(67);
        reply[0] = 0xED;
        reply[1] = 0x01;
        return reply;
    }();
    const auto pieces_of = [](const Bytes& whole, std::size_t size) {
        std::vector<Bytes> pieces;
        for (std::size_t at = 0; at < whole.size(); at += size)
            pieces.emplace_back(whole.begin() + at,
                                whole.begin() + std::min(whole.size(), at + size));
        return pieces;
    };
    const struct {
        const char* name;
        Bytes command;
        std::vector<Bytes> pieces;  // read one after another, a gap apart when `gaps`
        bool gaps;
        std::vector<std::size_t> at_once;  // the burst each read completes (0: none)
        std::size_t held_at_end;
    } cases[] = {
        {"a value reply",
         {0xFE, 0xFE, 0x01, 0xA2, 0xA3},
         {{0xED, 0x01, 0x00, 0x10, 0x11}},
         false,
         {5},
         0},
        {"the temperature's",
         {0xFE, 0xFE, 0x01, 0xA4, 0xA5},
         {{0xED, 0x01, 0x09, 0xC4, 0xCE}},
         false,
         {5},
         0},
        {"a value reply in two reads",
         {0xFE, 0xFE, 0x01, 0xA3, 0xA4},
         {{0xED, 0x01, 0x00}, {0x7D, 0x7E}},
         false,
         {0, 5},
         0},
        {"a cell reply whole", {0xFE, 0xFE, 0x01, 0xA1, 0xA2}, {cells_of_1}, false, {67}, 0},
        {"a cell reply in pieces a gap apart: the last one goes at once",
         {0xFE, 0xFE, 0x01, 0xA1, 0xA2},
         pieces_of(cells_of_1, 8),
         true,
         {0, 0, 0, 0, 0, 0, 0, 0, 3},
         0},
        {"a reply from another address",
         {0xFE, 0xFE, 0x01, 0xA2, 0xA3},
         {{0xED, 0x02, 0x00, 0x10, 0x12}},
         false,
         {0},
         5},
        {"bytes before the lead",
         {0xFE, 0xFE, 0x01, 0xA2, 0xA3},
         {{0x00, 0xED, 0x01, 0x00, 0x10}},
         false,
         {0},
         5},
        {"a part of a reply", {0xFE, 0xFE, 0x01, 0xA2, 0xA3}, {{0xED, 0x01, 0x00}}, false, {0}, 3},
        {"more after the reply waits",
         {0xFE, 0xFE, 0x01, 0xA2, 0xA3},
         {{0xED, 0x01, 0x00, 0x10, 0x11, 0x00, 0x00}},
         false,
         {5},
         2},
        {"a code the device does not send",
         {0xFE, 0xFE, 0x01, 0xB1, 0xB2},
         {{0xED, 0x01, 0x00, 0x10, 0x11}},
         false,
         {0},
         5},
        {"no command frame",
         {0xFE, 0x01, 0xA2, 0xA3},
         {{0xED, 0x01, 0x00, 0x10, 0x11}},
         false,
         {0},
         5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        BurstGatherer g(80, 2ms);
        g.Expect(ReplyShapeFor(c.command.data(), c.command.size()));
        auto t = Clock::now();
        ASSERT_EQ(c.pieces.size(), c.at_once.size());
        for (std::size_t i = 0; i < c.pieces.size(); ++i) {
            const auto bursts = g.Add(c.pieces[i].data(), c.pieces[i].size(), t);
            ASSERT_EQ(bursts.size(), c.at_once[i] ? 1u : 0u) << "read " << i;
            if (c.at_once[i]) {
                EXPECT_EQ(bursts[0].size(), c.at_once[i]) << "read " << i;
            } else if (c.gaps) {
                EXPECT_EQ(g.TakeIfQuiet(t + 2ms), c.pieces[i]) << "a part, at the gap";
            }
            t += c.gaps ? 4ms : 100us;
        }
        const auto rest = g.TakeIfQuiet(t + 2ms);
        EXPECT_EQ(rest ? rest->size() : 0u, c.held_at_end);
    }
}

TEST(BurstGatherer, GapIsThreeCharacterTimes) {
    EXPECT_EQ(serial_port::QuietGap(19200), 1562500ns);
    EXPECT_EQ(serial_port::QuietGap(9600), 3125000ns);
    EXPECT_EQ(serial_port::QuietGap(0), serial_port::QuietGap(9600)) << "an unset speed";
}

}  // namespace
}  // namespace runner::line
