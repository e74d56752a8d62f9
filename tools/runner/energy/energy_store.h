#pragma once
// The site's energy counters in the data folder, a file per device
// (energy_file.h). A device's file is replaced on every change, so that a
// crash or kill -9 loses at most the round in progress and counts nothing
// twice; it is synced to disk at most once per `sync_every` and when the run
// ends, like the cache. A file found damaged or another device's at start is
// set aside with one line; one that cannot be read is left alone, and that
// device's counters are then not kept (one line).

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/console.h"
#include "tools/runner/energy/energy_counters.h"

namespace runner::energy {

class EnergyStore {
public:
    using Clock = std::chrono::steady_clock;

    EnergyStore(std::string data_dir, Clock::duration sync_every, const console::Console& console);
    ~EnergyStore();
    EnergyStore(const EnergyStore&) = delete;
    EnergyStore& operator=(const EnergyStore&) = delete;

    // The counters kept for `data_id` (zero, counting from now, when there are
    // none), kept from now on.
    EnergyCounters Adopt(std::uint32_t data_id);
    // The device's counters changed at `now`: its file is replaced.
    void Keep(std::uint32_t data_id, const EnergyCounters& counters, Clock::time_point now);
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
        std::optional<Clock::time_point> synced_at;
        EnergyCounters latest;
    };
    void Write(Device& d, bool sync);

    std::string data_dir_;
    Clock::duration sync_every_;
    const console::Console& console_;
    std::vector<Device> devices_;
};

}  // namespace runner::energy
