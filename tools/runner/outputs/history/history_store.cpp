#include "tools/runner/outputs/history/history_store.h"

#include "tools/runner/data_folder/data_folder.h"

namespace runner::outputs {

namespace {

// How often the data folder's lock is checked, at most.
constexpr auto kLockCheckEvery = std::chrono::seconds(1);

}  // namespace

HistoryStore::HistoryStore(std::string data_dir, HistoryPolicy policy,
                           const console::Console& console, data_folder::DataFolderLock& lock)
    : data_dir_(std::move(data_dir)), policy_(policy), console_(console), lock_(lock) {}

std::optional<HistoryKeeper::StartImage> HistoryStore::Adopt(std::uint32_t data_id) {
    keepers_.emplace_back(data_id,
                          std::make_unique<HistoryKeeper>(data_dir_, data_id, policy_, console_));
    return keepers_.back().second->Start();
}

std::string HistoryStore::CachePathOf(std::uint32_t data_id) const {
    return data_folder::CachePath(data_dir_, data_id);
}

void HistoryStore::Release(std::uint32_t data_id) {
    for (auto k = keepers_.begin(); k != keepers_.end(); ++k) {
        if (k->first != data_id) continue;
        keepers_.erase(k);  // a keeper stops as it goes
        return;
    }
}

void HistoryStore::OnSaved(const SavedRecord& saved) {
    const auto now = HistoryKeeper::Clock::now();
    if (now >= next_lock_check_) {
        next_lock_check_ = now + kLockCheckEvery;
        if (const std::string change = lock_.Check(); !change.empty()) console_.Problem(change);
    }
    for (auto& [id, keeper] : keepers_) {
        if (id != saved.data_id) continue;
        keeper->Save(saved.image, saved.length, saved.interval_seconds, now);
        return;
    }
}

void HistoryStore::Finish() {
    for (auto& [id, keeper] : keepers_) keeper->Stop();
}

}  // namespace runner::outputs
