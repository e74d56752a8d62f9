#pragma once
// battery32-run reset-energy DIR DATA_ID: the one way to set a device's
// energy counters back to zero.

#include <string>
#include <vector>

namespace runner::energy {

// Runs "reset-energy" with `args`, the arguments after it. Takes the data
// folder's lock (a runner polling there would write its counters over the
// reset), says what the counters stood at and starts them at zero. Returns
// the exit status.
int ResetEnergyCommand(const std::vector<std::string>& args);

}  // namespace runner::energy
