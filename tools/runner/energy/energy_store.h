#pragma once
// The site's energy counters in the data folder, a file per device
// (energy_file.h). A device's file is replaced on every change, so that a
// crash or kill -9 loses at most the round in progress and counts nothing
// twice. It is synced to disk when the run ends (and on every change when
// asked): a sync in the runner's loop holds up polling and the web view for as
// long as the disk takes, and the kernel writes the file back within seconds
// on its own. A file found damaged or another device's at start is set aside
// with one line; one that cannot be read is left alone, and that device's
// counters are then not kept (one line).

#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/console/console.h"
#include "tools/runner/energy/energy_counters.h"

namespace runner::energy {

class EnergyStore {
public:
    EnergyStore(std::string data_dir, bool sync_each_change, const console::Console& console);
    ~EnergyStore();
    EnergyStore(const EnergyStore&) = delete;
    EnergyStore& operator=(const EnergyStore&) = delete;

    // The counters kept for `data_id` (zero, counting from now, when there are
    // none), kept from now on.
    EnergyCounters Adopt(std::uint32_t data_id);
    // The device's counters changed: its file is replaced.
    void Keep(std::uint32_t data_id, const EnergyCounters& counters);
    // The device leaves the site: its file is synced, as at the end of a run,
    // and no longer kept.
    void Release(std::uint32_t data_id);
    // Syncs every file replaced since it was last synced.
    void Finish();

private:
    struct Device {
        std::uint32_t data_id = 0;
        std::string path;
        std::string fresh;  // written first, then renamed over `path`
        bool kept = true;   // false: its file could not be read, and is left alone
        bool failing = false;
        bool unsynced = false;
        EnergyCounters latest;
    };
    void Write(Device& d, bool sync);

    std::string data_dir_;
    bool sync_each_change_;
    const console::Console& console_;
    std::vector<Device> devices_;
};

}  // namespace runner::energy
