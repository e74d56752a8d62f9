#pragma once
// The energy counters of one device, integrated from its rounds: each round's
// string current and group voltage, over the time since the round before,
// by the trapezoid rule. An interval whose current (or power) changes sign
// is split where the straight line between its ends crosses zero, so that
// charge and discharge are each counted in full.
//
// Nothing is integrated across a gap longer than the caller allows, across
// a break (the device went silent) or from a reading that is not a number:
// a restart, a dead module or a garbled value invents no energy. Pure logic:
// the caller brings the clock.

#include <chrono>

#include "tools/runner/energy/energy_counters.h"

namespace runner::energy {

// Which sign of the current charges the string (the site file's
// "charging_current").
enum class ChargingCurrent { kPositive, kNegative };

class EnergyIntegrator {
public:
    using Clock = std::chrono::steady_clock;

    explicit EnergyIntegrator(ChargingCurrent charging = ChargingCurrent::kPositive)
        : charging_(charging) {}

    // A round's reading taken at `at`: the energy since the previous reading
    // goes into `counters`, unless more than `longest_gap` lies between them.
    // Returns whether anything was added.
    bool Add(Clock::time_point at, float volts, float amps, Clock::duration longest_gap,
             EnergyCounters& counters);
    // Nothing is integrated between the last reading and the next one.
    void Break() { has_previous_ = false; }

private:
    ChargingCurrent charging_;
    bool has_previous_ = false;
    Clock::time_point at_{};
    double current_ = 0;  // amperes, positive while charging
    double power_ = 0;    // watts, positive while charging
};

}  // namespace runner::energy
