#pragma once
// What went into and out of a battery string: charge in ampere-hours and
// energy in kilowatt-hours, each way. The counters only grow; only an
// explicit reset (battery32-run reset-energy) starts them again at zero.

#include <cstdint>
#include <string>

namespace runner::energy {

struct EnergyCounters {
    double charged_ah = 0;
    double discharged_ah = 0;
    double charged_kwh = 0;
    double discharged_kwh = 0;
    std::int64_t since = 0;  // when counting began (the last reset), epoch seconds
};

// {"charged_ah":1.25,"discharged_ah":0,"charged_kwh":0.54,"discharged_kwh":0}:
// each in its shortest exact form, as the --json line, the web view and the
// broker show them.
std::string EnergyJson(const EnergyCounters& counters);

// "in 1.250 Ah 0.540 kWh, out 0.000 Ah 0.000 kWh", for people.
std::string EnergyText(const EnergyCounters& counters);

}  // namespace runner::energy
