#include "tools/runner/energy/energy_counters.h"

#include <charconv>
#include <cstdio>

namespace runner::energy {
namespace {

std::string Shortest(double value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string Way(double ah, double kwh) {
    char text[64];
    std::snprintf(text, sizeof text, "%.3f Ah %.3f kWh", ah, kwh);
    return text;
}

}  // namespace

std::string EnergyJson(const EnergyCounters& c) {
    return "{\"charged_ah\":" + Shortest(c.charged_ah) +
           ",\"discharged_ah\":" + Shortest(c.discharged_ah) +
           ",\"charged_kwh\":" + Shortest(c.charged_kwh) +
           ",\"discharged_kwh\":" + Shortest(c.discharged_kwh) + "}";
}

std::string EnergyText(const EnergyCounters& c) {
    return "in " + Way(c.charged_ah, c.charged_kwh) + ", out " +
           Way(c.discharged_ah, c.discharged_kwh);
}

}  // namespace runner::energy
