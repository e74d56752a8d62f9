#include "tools/runner/energy/energy_integrator.h"

#include <cmath>

namespace runner::energy {
namespace {

constexpr double kSecondsPerHour = 3600.0;
constexpr double kJoulesPerKilowattHour = 3.6e6;

// The area under the straight line from `a` to `b` over `seconds`, split into
// what lies above zero and what lies below (both positive).
struct Areas {
    double above = 0;
    double below = 0;
};
Areas Trapezoid(double a, double b, double seconds) {
    if ((a >= 0) == (b >= 0)) {
        const double area = (a + b) / 2 * seconds;
        return area >= 0 ? Areas{area, 0} : Areas{0, -area};
    }
    // One end on each side: the line crosses zero a fraction `f` of the way.
    const double f = a / (a - b);
    const double first = a * f * seconds / 2;
    const double second = b * (1 - f) * seconds / 2;
    return a > 0 ? Areas{first, -second} : Areas{second, -first};
}

}  // namespace

bool EnergyIntegrator::Add(Clock::time_point at, float volts, float amps,
                           Clock::duration longest_gap, EnergyCounters& counters) {
    if (!std::isfinite(volts) || !std::isfinite(amps)) {
        Break();
        return false;
    }
    const double current =
        charging_ == ChargingCurrent::kPositive ? amps : -static_cast<double>(amps);
    const double power = current * volts;
    const bool integrate = has_previous_ && at > at_ && at - at_ <= longest_gap;
    if (integrate) {
        const double seconds = std::chrono::duration<double>(at - at_).count();
        const Areas charge = Trapezoid(current_, current, seconds);
        const Areas energy = Trapezoid(power_, power, seconds);
        counters.charged_ah += charge.above / kSecondsPerHour;
        counters.discharged_ah += charge.below / kSecondsPerHour;
        counters.charged_kwh += energy.above / kJoulesPerKilowattHour;
        counters.discharged_kwh += energy.below / kJoulesPerKilowattHour;
    }
    has_previous_ = true;
    at_ = at;
    current_ = current;
    power_ = power;
    return integrate;
}

}  // namespace runner::energy
