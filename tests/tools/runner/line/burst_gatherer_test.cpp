#include "tools/runner/line/burst_gatherer.h"

#include <gtest/gtest.h>

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

TEST(BurstGatherer, GapIsThreeCharacterTimes) {
    EXPECT_EQ(serial_port::QuietGap(19200), 1562500ns);
    EXPECT_EQ(serial_port::QuietGap(9600), 3125000ns);
    EXPECT_EQ(serial_port::QuietGap(0), serial_port::QuietGap(9600)) << "an unset speed";
}

}  // namespace
}  // namespace runner::line
