// Whose turn it is on a shared line: one exchange at a time, once per tick,
// the device due longest first, fair and without catch-up bursts when the
// line cannot keep up.

#include "tools/runner/line/line_scheduler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "tools/runner/line/line_pace.h"

namespace runner::line {
namespace {

using namespace std::chrono_literals;
using Clock = LineScheduler::Clock;

const LineScheduler::MayStart kAnyone = [](std::size_t) { return true; };

// Serves the line for `span` with every exchange taking `exchange`; returns
// the turns per device and the order of the turns.
struct Served {
    std::map<std::size_t, int> turns;
    std::vector<std::size_t> order;
    std::vector<LineScheduler::Pace> pace;
};
Served Serve(LineScheduler& line, Clock::time_point& now, Clock::duration span,
             Clock::duration exchange, const LineScheduler::MayStart& may = kAnyone) {
    Served out;
    const auto end = now + span;
    while (now < end) {
        if (const auto next = line.Next(now, may)) {
            line.Take(*next, now);
            line.AwaitReply(now + 1s);
            ++out.turns[*next];
            out.order.push_back(*next);
            now += exchange;
            line.Release();
        } else {
            const auto wake = line.WakeAt(may);
            now = wake && *wake > now ? *wake : now + 1ms;
        }
        if (auto p = line.TakePaceChange()) out.pace.push_back(*p);
    }
    return out;
}

TEST(LineScheduler, OneExchangeAtATimeInPollingOrderOncePerTick) {
    Clock::time_point now{};
    LineScheduler line({7, 3, 5}, 1000ms, now);
    ASSERT_EQ(line.Next(now, kAnyone), 7u);
    line.Take(7, now);
    EXPECT_EQ(line.Next(now, kAnyone), std::nullopt) << "the line is held";
    EXPECT_EQ(line.deadline(), std::nullopt) << "no command out yet";
    line.AwaitReply(now + 90ms);
    EXPECT_EQ(line.WakeAt(kAnyone), now + 90ms);
    line.Release();

    const Served s = Serve(line, now, 3000ms - 1ms, 100ms);
    // 7 already had the first tick's turn; then 3, 5, and each tick 7, 3, 5.
    EXPECT_EQ(s.order, (std::vector<std::size_t>{3, 5, 7, 3, 5, 7, 3, 5}));
    EXPECT_TRUE(s.pace.empty());
}

TEST(LineScheduler, SkipsADeviceThatMayNotStartYet) {
    Clock::time_point now{};
    LineScheduler line({1, 2}, 1000ms, now);
    const auto only_two = [](std::size_t d) { return d == 2; };
    EXPECT_EQ(line.Next(now, only_two), 2u);
    EXPECT_EQ(line.WakeAt(only_two), now);
    line.Take(2, now);
    line.Release();
    EXPECT_EQ(line.Next(now, only_two), std::nullopt);
    EXPECT_EQ(line.WakeAt(only_two), now + 1000ms) << "a waiting device must not spin the loop";
}

TEST(LineScheduler, AnOverfullLineServesEveryoneInTurnAndSaysSoOnceEachWay) {
    Clock::time_point now{};
    LineScheduler line({0, 1, 2, 3, 4, 5, 6, 7}, 1000ms, now);
    // 8 exchanges of 200 ms: 1.6 s a cycle against a 1 s tick.
    Served slow = Serve(line, now, 20s, 200ms);
    int fewest = 1000, most = 0;
    for (const auto& t : slow.turns) {
        fewest = std::min(fewest, t.second);
        most = std::max(most, t.second);
    }
    EXPECT_EQ(slow.turns.size(), 8u);
    EXPECT_LE(most - fewest, 1) << "none twice while another waits";
    for (std::size_t i = 8; i < slow.order.size(); ++i) {
        EXPECT_EQ(slow.order[i], slow.order[i - 8]) << "turns in a steady order, at " << i;
    }
    ASSERT_EQ(slow.pace.size(), 1u);
    EXPECT_TRUE(slow.pace[0].behind);
    EXPECT_EQ(slow.pace[0].devices, 8u);
    EXPECT_EQ(slow.pace[0].cycle, 1600ms);
    EXPECT_EQ(slow.pace[0].tick, 1000ms);

    // Faster exchanges: the line catches up, says so, and then keeps the tick
    // without a burst of turns to make up for the lost ones.
    Served fast = Serve(line, now, 10s, 50ms);
    ASSERT_EQ(fast.pace.size(), 1u);
    EXPECT_FALSE(fast.pace[0].behind);
    for (const auto& t : fast.turns) EXPECT_LE(t.second, 11) << "device " << t.first;
}

TEST(LineScheduler, ZeroTickPollsBackToBackRoundRobin) {
    Clock::time_point now{};
    LineScheduler line({4, 2, 9}, 0ms, now);
    const Served s = Serve(line, now, 900ms, 100ms);
    EXPECT_EQ(s.order, (std::vector<std::size_t>{4, 2, 9, 4, 2, 9, 4, 2, 9}));
    EXPECT_TRUE(s.pace.empty()) << "back to back is what was asked";
}

TEST(LineScheduler, RestartFreesTheLineAndMakesEveryoneDue) {
    Clock::time_point now{};
    LineScheduler line({1, 2}, 1000ms, now);
    EXPECT_EQ(line.Take(1, now), std::nullopt) << "a first turn has no turn before it";
    line.Release();
    EXPECT_EQ(line.Take(1, now + 1200ms), 1200ms) << "the time since its last turn";
    line.AwaitReply(now + 90ms);
    now += 5s;
    line.Restart(now);
    EXPECT_EQ(line.holder(), std::nullopt);
    EXPECT_EQ(line.deadline(), std::nullopt);
    EXPECT_EQ(line.Next(now, kAnyone), 1u);
    EXPECT_EQ(line.Take(1, now), std::nullopt) << "turns before the line was lost do not count";
}

// The line's pace: the cycle averaged over turns, the rate over about ten
// seconds, right from the first seconds and falling once rounds stop.
TEST(LinePace, CycleAndRoundsPerSecondAsMeasured) {
    LinePace pace;
    Clock::time_point now{};
    EXPECT_EQ(pace.RoundsPerSecond(now), std::nullopt);
    EXPECT_EQ(pace.cycle_seconds(), 0);
    pace.Start(now);
    pace.Turn(1000ms);
    EXPECT_EQ(pace.cycle_seconds(), 1.0);
    pace.Turn(2000ms);
    EXPECT_EQ(pace.cycle_seconds(), 1.0 + LinePace::kTurnWeight);
    for (int i = 0; i < 4; ++i) pace.Round(now += 250ms);
    EXPECT_NEAR(*pace.RoundsPerSecond(now), 4.0, 0.2) << "the first second";
    for (int i = 0; i < 116; ++i) pace.Round(now += 250ms);
    EXPECT_NEAR(*pace.RoundsPerSecond(now), 4.0, 0.2) << "30 s on";
    EXPECT_NEAR(*pace.RoundsPerSecond(now + 10s), 4.0 / std::exp(1.0), 0.1);
    EXPECT_LT(*pace.RoundsPerSecond(now + 60s), 0.02);
}

}  // namespace
}  // namespace runner::line
