#include "tools/runner/poll_order.h"

#include <algorithm>

namespace runner {

std::vector<std::size_t> PollOrder(const std::vector<SiteDevice>& devices,
                                   const std::vector<std::size_t>& subset) {
    std::vector<std::size_t> order;
    std::vector<std::size_t> left = subset;
    auto waits_for_partner = [&](std::size_t candidate) {
        for (const std::uint32_t partner : devices[candidate].partners) {
            for (const std::size_t other : left) {
                if (other != candidate && devices[other].data_id == partner) return true;
            }
        }
        return false;
    };
    while (!left.empty()) {
        auto ready = std::find_if(left.begin(), left.end(),
                                  [&](std::size_t i) { return !waits_for_partner(i); });
        if (ready == left.end()) ready = left.begin();  // a loop of partners: file order
        order.push_back(*ready);
        left.erase(ready);
    }
    return order;
}

}  // namespace runner
