#pragma once
// The order in which devices sharing a line are polled within a tick: a device
// whose group voltage adds partners' voltages goes after those partners, so it
// adds this tick's values instead of the last tick's. Otherwise, and where
// partners form a loop, the site file's order holds.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "tools/runner/site_config.h"

namespace runner {

// Indices into `devices` in polling order; only indices in `subset` appear.
std::vector<std::size_t> PollOrder(const std::vector<SiteDevice>& devices,
                                   const std::vector<std::size_t>& subset);

}  // namespace runner
