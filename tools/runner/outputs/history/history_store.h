#pragma once
// The site's history and cache files in the data folder: one keeper per
// device (history_keeper.h), each fed the records its device asks to keep.
// At start, and for a device a reload adds, it hands the device the record
// found in its files.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/common/console/console.h"
#include "tools/runner/data_folder/data_folder.h"
#include "tools/runner/outputs/history/history_keeper.h"
#include "tools/runner/outputs/output.h"

namespace runner::outputs {

class HistoryStore : public Output {
public:
    // `lock` is the data folder's, checked before records are written.
    HistoryStore(std::string data_dir, HistoryPolicy policy, const console::Console& console,
                 data_folder::DataFolderLock& lock);

    // Checks the files of the device with `data_id` (setting aside those that
    // are not its own) and keeps its records from now on. Returns the record
    // to hand to the device at start: its cache's, else its history's last.
    std::optional<HistoryKeeper::StartImage> Adopt(std::uint32_t data_id);
    std::string CachePathOf(std::uint32_t data_id) const;
    // The device leaves the site (a reload removes or restarts it): its
    // newest record goes to its cache and its history is closed, as at the
    // end of a run. Adopted again, it starts from that cache.
    void Release(std::uint32_t data_id);

    void OnSaved(const SavedRecord& saved) override;
    // Writes every device's newest record to its cache and closes the histories.
    void Finish() override;

private:
    std::string data_dir_;
    HistoryPolicy policy_;
    const console::Console& console_;
    data_folder::DataFolderLock& lock_;
    HistoryKeeper::Clock::time_point next_lock_check_{};
    // In the order adopted: the site's.
    std::vector<std::pair<std::uint32_t, std::unique_ptr<HistoryKeeper>>> keepers_;
};

}  // namespace runner::outputs
