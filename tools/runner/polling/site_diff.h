#pragma once
// How a site file read again differs from the site that runs: device by
// device, by data id, and port by port. A device whose entry is equal in
// every member is unchanged: it keeps running as it is. One whose entry
// changed in any member restarts: it is removed, then added as new. A port's
// line is set up anew (its port closed, and opened again while devices remain
// on it) when a device on it comes, goes or restarts, or when its own
// settings changed; the other ports stay open.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "tools/runner/site/site.h"

namespace runner::polling {

struct SiteDiff {
    std::vector<std::uint32_t> added;      // in the new site's order
    std::vector<std::uint32_t> removed;    // in the running site's order
    std::vector<std::uint32_t> restarted;  // in the new site's order
    std::vector<std::uint32_t> unchanged;  // in the new site's order
    std::set<std::string> ports;           // whose lines are set up anew
    bool name_changed = false;
    bool link_level_changed = false;  // the lost-communication alarm's level
};

SiteDiff CompareSites(const site::Site& running, const site::Site& next);

// Whether `id` is among `ids`.
bool Among(const std::vector<std::uint32_t>& ids, std::uint32_t id);

}  // namespace runner::polling
