#pragma once
// The order in which devices sharing a line are polled within a tick: a device
// whose group voltage adds partners' voltages goes after those partners, so it
// adds this tick's values instead of the last tick's. Otherwise, and where
// partners form a loop, the site file's order holds.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace runner::line {

// Indices into `devices` in polling order; only indices in `subset` appear.
// A device is anything with a `data_id` and the `partners` whose data ids it adds.
template <typename Device>
std::vector<std::size_t> PollOrder(const std::vector<Device>& devices,
                                   std::vector<std::size_t> subset) {
    std::vector<std::size_t> order;
    auto waits_for_partner = [&](std::size_t candidate) {
        for (const std::uint32_t partner : devices[candidate].partners) {
            for (const std::size_t other : subset) {
                if (other != candidate && devices[other].data_id == partner) return true;
            }
        }
        return false;
    };
    while (!subset.empty()) {
        auto ready = std::find_if(subset.begin(), subset.end(),
                                  [&](std::size_t i) { return !waits_for_partner(i); });
        if (ready == subset.end()) ready = subset.begin();  // a loop of partners: file order
        order.push_back(*ready);
        subset.erase(ready);
    }
    return order;
}

}  // namespace runner::line
