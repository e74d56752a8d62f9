// The energy counters' integration: trapezoids between rounds, charge and
// discharge split where the current crosses zero, and nothing across a gap,
// a break or a reading that is not a number.

#include "tools/runner/energy/energy_integrator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace runner::energy {
namespace {

using namespace std::chrono_literals;
using Clock = EnergyIntegrator::Clock;

constexpr float kNaN = NAN;

struct Step {
    int at_ms;
    float volts;
    float amps;
    bool break_before = false;
};

// Ampere-seconds and watt-seconds each way, as the counters should hold them.
struct Expected {
    double charged_as, discharged_as, charged_ws, discharged_ws;
    int intervals;  // readings that added something
};

TEST(EnergyIntegrator, IntegratesTrapezoidsBetweenReadingsAndNothingAcrossGaps) {
    const auto kPositive = ChargingCurrent::kPositive;
    const auto kNegative = ChargingCurrent::kNegative;
    const struct {
        const char* what;
        ChargingCurrent charging;
        std::vector<Step> steps;
        Expected expected;
    } cases[] = {
        {"constant charge",
         kPositive,
         {{0, 400, 10}, {1000, 400, 10}, {2000, 400, 10}},
         {20, 0, 8000, 0, 2}},
        {"charging current negative: a positive current discharges",
         kNegative,
         {{0, 400, 10}, {1000, 400, 10}, {2000, 400, 10}},
         {0, 20, 0, 8000, 2}},
        {"charging current negative: a negative current charges",
         kNegative,
         {{0, 400, -10}, {1500, 400, -10}},
         {15, 0, 6000, 0, 1}},
        {"a trapezoid, not a rectangle",
         kPositive,
         {{0, 100, 0}, {2000, 100, 10}},
         {10, 0, 1000, 0, 1}},
        {"crossing zero is split where the line crosses",
         kPositive,
         {{0, 100, 10}, {2000, 100, -10}, {4000, 100, 30}},
         {5 + 22.5, 5 + 2.5, 2750, 750, 2}},
        {"a gap longer than allowed adds nothing; counting goes on after it",
         kPositive,
         {{0, 10, 1}, {1000, 10, 1}, {4001, 10, 5}, {5001, 10, 5}},
         {1 + 5, 0, 10 + 50, 0, 2}},
        {"a gap as long as allowed counts",
         kPositive,
         {{0, 10, 2}, {3000, 10, 2}},
         {6, 0, 60, 0, 1}},
        {"nothing across a break (silence)",
         kPositive,
         {{0, 10, 1}, {1000, 10, 1}, {2000, 10, 1, true}, {3000, 10, 1}},
         {2, 0, 20, 0, 2}},
        {"nothing to or from a reading that is not a number",
         kPositive,
         {{0, 10, 1},
          {1000, 10, kNaN},
          {2000, 10, 1},
          {3000, kNaN, 1},
          {4000, 10, 1},
          {5000, 10, 1}},
         {1, 0, 10, 0, 1}},
        {"no time between two readings adds nothing",
         kPositive,
         {{0, 10, 1}, {0, 10, 1}},
         {0, 0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EnergyIntegrator integrator(c.charging);
        EnergyCounters counters;
        int added = 0;
        for (const Step& s : c.steps) {
            if (s.break_before) integrator.Break();
            added += integrator.Add(Clock::time_point(std::chrono::milliseconds(s.at_ms)), s.volts,
                                    s.amps, 3s, counters);
        }
        EXPECT_EQ(added, c.expected.intervals);
        EXPECT_NEAR(counters.charged_ah * 3600, c.expected.charged_as, 1e-9);
        EXPECT_NEAR(counters.discharged_ah * 3600, c.expected.discharged_as, 1e-9);
        EXPECT_NEAR(counters.charged_kwh * 3.6e6, c.expected.charged_ws, 1e-9);
        EXPECT_NEAR(counters.discharged_kwh * 3.6e6, c.expected.discharged_ws, 1e-9);
    }
}

}  // namespace
}  // namespace runner::energy
