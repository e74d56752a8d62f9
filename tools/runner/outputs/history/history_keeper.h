#pragma once
// What the runner keeps of one device's records, and when:
//
// - the history (DATA/device-<id>.history) gets the first record after start
//   and then one whenever the device's history interval has passed since the
//   last one saved, or every record with `every_round`;
// - the cache (DATA/device-<id>.cache) holds the newest record for restarts,
//   replaced atomically at most once per `cache_every` and at stop.
//
// Only the device's own files are used: a history or cache whose last record
// is another device's, or no record at all, is renamed aside untouched, with
// one line, and a new one starts. A history removed or replaced while running
// is noticed before the next write and started anew. The history file is made
// only when the first record is written.
//
// The site's history store (history_store.h) holds one keeper per device.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/console/console.h"
#include "tools/record/history_check.h"
#include "tools/record/history_file.h"

namespace runner::outputs {

struct HistoryPolicy {
    bool every_round = false;
    bool sync_each_record = false;
    std::chrono::seconds cache_every{60};
};

class HistoryKeeper {
public:
    using Clock = std::chrono::steady_clock;

    HistoryKeeper(const std::string& data_dir, std::uint32_t data_id, HistoryPolicy policy,
                  const console::Console& console);
    ~HistoryKeeper();
    HistoryKeeper(const HistoryKeeper&) = delete;
    HistoryKeeper& operator=(const HistoryKeeper&) = delete;

    struct StartImage {
        std::vector<std::uint8_t> image;
        std::string source;  // the file it came from
    };
    // Checks the files found at start and sets aside those that are not this
    // device's. Returns the record to hand to the device: the cache's, else
    // the history's last.
    std::optional<StartImage> Start();

    // Every record the device saves. `interval_seconds` is the device's history
    // interval as it stands now.
    void Save(const std::uint8_t* data, std::size_t length, int interval_seconds,
              Clock::time_point now);
    // Writes the newest record to the cache and closes the history.
    void Stop();

private:
    // True when the file may be used: missing, or this device's. Sets aside
    // a file that is not, with one line (none when `quiet`).
    bool UsableOrSetAside(const std::string& path, const record::HistoryVerdict& verdict,
                          const std::string& what, bool quiet);
    bool OpenHistory();
    void WriteCache();
    void Problem(const std::string& line) const;
    // One line when writing `file` starts failing, one when it works again.
    void ReportWrite(bool& failing, const std::string& file, const std::string& error);

    std::string label_;
    std::uint32_t data_id_;
    HistoryPolicy policy_;
    const console::Console& console_;
    std::string history_path_;
    std::string cache_path_;
    record::HistoryWriter history_;
    bool history_failing_ = false;
    bool cache_failing_ = false;
    std::optional<Clock::time_point> last_saved_;
    std::optional<Clock::time_point> last_cached_;
    std::vector<std::uint8_t> newest_;  // the last record saved by the device
    bool newest_cached_ = true;
};

}  // namespace runner::outputs
