// A device's alarms: the states with their delays, hysteresis, values that
// are not numbers, a rule on every cell, the lost-communication alarm and
// alarms restored at start.

#include "tools/runner/alarms/device_alarms.h"

#include <gtest/gtest.h>

#include <cmath>

namespace runner::alarms {
namespace {

using namespace std::chrono_literals;
using alarm_log::AlarmKind;

const std::string kCellName = "第3节电池";
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

struct Recorder : AlarmListener {
    void AlarmChanged(const outputs::AlarmChange& change) override { changes.push_back(change); }
    std::vector<outputs::AlarmChange> changes;
};

AlarmRule Rule(const char* key, int variable, bool above, float limit, float clear,
               std::chrono::milliseconds delay = 0ms) {
    return AlarmRule{key, variable, above, limit, clear, 2, delay, "12;3;7;"};
}

// A submission at `at` (from a fixed start) and the change it must make.
struct Step {
    std::chrono::milliseconds at;
    float value;
    const char* expect;  // "", "raised" or "cleared"
};

struct StateCase {
    const char* name;
    AlarmRule rule;
    std::vector<Step> steps;
    std::uint64_t not_a_number;
};

void PrintTo(const StateCase& c, std::ostream* os) { *os << c.name; }

class AlarmStates : public ::testing::TestWithParam<StateCase> {};

TEST_P(AlarmStates, RaiseAndClearWhereTheRuleSays) {
    const StateCase& c = GetParam();
    DeviceAlarms alarms(1001, {c.rule}, 0);
    Recorder to;
    const auto start = Moment::Clock::time_point() + 1h;
    for (const Step& step : c.steps) {
        SCOPED_TRACE(step.at.count());
        Moment now(start + step.at, Moment::Wall::time_point(1800000000s + step.at));
        const std::size_t before = to.changes.size();
        alarms.Check(VariableName(c.rule.variable), kCellName, step.value, now, to);
        ASSERT_EQ(to.changes.size() - before, std::string(step.expect).empty() ? 0u : 1u);
        if (to.changes.size() == before) continue;
        const outputs::AlarmChange& change = to.changes.back();
        EXPECT_EQ(alarm_log::KindName(change.kind), std::string(step.expect));
        EXPECT_EQ(change.value, step.value);
        EXPECT_EQ(change.epoch, 1800000000 + step.at.count() / 1000);
    }
    EXPECT_EQ(alarms.not_a_number(), c.not_a_number);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, AlarmStates,
    ::testing::Values(
        // Below 12, clear at 12.5: between the two nothing moves either way.
        StateCase{"AtOnceWithHysteresis",
                  Rule("low", kFirstCell + 2, false, 12.0f, 12.5f),
                  {{0ms, 13.0f, ""},
                   {1s, 12.0f, ""},  // at the limit is not past it
                   {2s, 11.9f, "raised"},
                   {3s, 11.0f, ""},
                   {4s, 12.4f, ""},
                   {5s, 12.5f, "cleared"},
                   {6s, 12.2f, ""},
                   {7s, 11.5f, "raised"}},
                  0},
        StateCase{"AboveClearsAtOrBelow",
                  Rule("hot", kTemperature, true, 45.0f, 40.0f),
                  {{0ms, 45.5f, "raised"}, {1s, 40.1f, ""}, {2s, 40.0f, "cleared"}},
                  0},
        // Each condition must hold for the delay; one that lapses starts over.
        StateCase{"DelaysBothWays",
                  Rule("low", kFirstCell + 2, false, 12.0f, 12.5f, 2000ms),
                  {{0ms, 11.9f, ""},
                   {1s, 11.9f, ""},
                   {1500ms, 12.2f, ""},  // back to normal, silently
                   {2s, 11.9f, ""},
                   {3999ms, 11.9f, ""},
                   {4s, 11.8f, "raised"},
                   {5s, 12.6f, ""},
                   {6s, 12.4f, ""},  // clearing lapses: active again
                   {7s, 12.6f, ""},
                   {9s, 12.7f, "cleared"}},
                  0},
        // Not a number: counted, and neither a running delay nor an alarm moves.
        StateCase{"NotANumberChangesNothing",
                  Rule("low", kFirstCell + 2, false, 12.0f, 12.5f, 2000ms),
                  {{0ms, 11.9f, ""},
                   {1s, kNaN, ""},
                   {2s, 11.9f, "raised"},
                   {3s, kNaN, ""},
                   {4s, 12.6f, ""},
                   {5s, kNaN, ""},
                   {6s, 12.6f, "cleared"}},
                  3}),
    [](const ::testing::TestParamInfo<StateCase>& info) { return std::string(info.param.name); });

Moment At(int second) {
    return Moment(Moment::Clock::time_point() + std::chrono::seconds(second),
                  Moment::Wall::time_point(std::chrono::seconds(1800000000 + second)));
}

// One alarm per cell the device submits, each on its own; other names,
// including cell names the device never writes, reach none of them.
TEST(DeviceAlarms, RuleOnEveryCellMakesOneAlarmPerSubmittedCell) {
    DeviceAlarms alarms(1001, {Rule("low", kEveryCell, false, 12.0f, 12.0f)}, 0);
    Recorder to;
    Moment now = At(0);
    // The cells active_batteries selects, 2 and 5: the others are never submitted.
    for (const char* name : {"battery_2_value", "battery_5_value", "battery_02_value",
                             "battery_32_value", "group_voltage", "battery__value"}) {
        alarms.Check(name, kCellName, 11.0f, now, to);
    }
    alarms.Check("battery_2_value", kCellName, 11.5f, now, to);  // still low: nothing new
    ASSERT_EQ(to.changes.size(), 2u);
    EXPECT_EQ(to.changes[0].variable, "battery_2_value");
    EXPECT_EQ(to.changes[1].variable, "battery_5_value");
    alarms.Check("battery_5_value", kCellName, 13.0f, now, to);
    ASSERT_EQ(to.changes.size(), 3u);
    EXPECT_EQ(to.changes[2].kind, AlarmKind::kCleared);
    EXPECT_EQ(to.changes[2].variable, "battery_5_value");
    EXPECT_EQ(to.changes[2].rule, "low");
    EXPECT_EQ(to.changes[2].code, "12;3;7;");
    EXPECT_EQ(to.changes[2].name, kCellName);
}

TEST(DeviceAlarms, LostCommunicationIsRaisedOnceAndClearedByTheNextRound) {
    DeviceAlarms alarms(1001, {}, 3);
    Recorder to;
    Moment silent = At(20);
    alarms.LinkLost(1800000008.0, 10.0f, silent, to);
    alarms.LinkLost(1800000008.0, 10.0f, silent, to);  // one episode, one alarm
    Moment back = At(30);
    alarms.RoundCompleted(back, to);
    alarms.RoundCompleted(back, to);
    ASSERT_EQ(to.changes.size(), 2u);
    EXPECT_EQ(to.changes[0].kind, AlarmKind::kRaised);
    EXPECT_EQ(to.changes[0].rule, kLinkRule);
    EXPECT_EQ(to.changes[0].level, 3);
    EXPECT_EQ(to.changes[0].limit, 10.0f);
    EXPECT_EQ(to.changes[0].value, 12.0f);  // seconds since its last round
    EXPECT_EQ(to.changes[1].kind, AlarmKind::kCleared);
    EXPECT_EQ(to.changes[1].value, 22.0f);

    DeviceAlarms off(1001, {}, 0);
    off.LinkLost(1800000008.0, 10.0f, silent, to);
    EXPECT_EQ(to.changes.size(), 2u);
}

// Restored alarms are active without a new raise; the first round confirms
// them, clears them, or (when nothing is submitted to them) clears them with
// no value. Alarms of rules that are gone are not taken.
TEST(DeviceAlarms, RestoredAlarmsAreConfirmedOrClearedByTheFirstRound) {
    DeviceAlarms alarms(1001, {Rule("low", kEveryCell, false, 12.0f, 12.5f)}, 2);
    Recorder to;
    outputs::AlarmChange logged;
    logged.kind = AlarmKind::kRaised;
    logged.data_id = 1001;
    logged.rule = "low";
    logged.name = kCellName;
    logged.epoch = 1799999000;
    for (const char* variable : {"battery_1_value", "battery_2_value", "battery_3_value"}) {
        logged.variable = variable;
        EXPECT_TRUE(alarms.Restore(logged, to));
    }
    logged.rule = "gone";
    EXPECT_FALSE(alarms.Restore(logged, to));
    logged.rule = kLinkRule;
    logged.variable = kLinkVariable;
    logged.value = 15;
    EXPECT_TRUE(alarms.Restore(logged, to));
    ASSERT_EQ(to.changes.size(), 4u);
    for (const auto& c : to.changes) EXPECT_EQ(c.kind, AlarmKind::kActive);
    EXPECT_EQ(to.changes[0].epoch, 1799999000);  // raised when the log says

    to.changes.clear();
    Moment now = At(0);
    alarms.Check("battery_1_value", kCellName, 11.0f, now, to);  // still low: confirmed
    alarms.Check("battery_2_value", kCellName, 13.0f, now, to);  // back: cleared
    alarms.RoundChecked(now, to);  // battery_3_value was not submitted
    alarms.RoundCompleted(now, to);
    alarms.RoundChecked(now, to);  // once only
    ASSERT_EQ(to.changes.size(), 3u);
    EXPECT_EQ(to.changes[0].variable, "battery_2_value");
    EXPECT_EQ(to.changes[1].variable, "battery_3_value");
    EXPECT_TRUE(std::isnan(to.changes[1].value));
    EXPECT_EQ(to.changes[1].name, kCellName);
    EXPECT_EQ(to.changes[2].rule, kLinkRule);
    EXPECT_EQ(to.changes[2].value, 1015.0f);  // since the round before the silence
    for (const auto& c : to.changes) EXPECT_EQ(c.kind, AlarmKind::kCleared);
}

}  // namespace
}  // namespace runner::alarms
