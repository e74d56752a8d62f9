#include "tools/runner/outputs/history/history_store.h"

#include "tools/runner/outputs/data_folder.h"

namespace runner::outputs {

HistoryStore::HistoryStore(std::string data_dir, HistoryPolicy policy,
                           const console::Console& console)
    : data_dir_(std::move(data_dir)), policy_(policy), console_(console) {}

std::optional<HistoryKeeper::StartImage> HistoryStore::Adopt(std::uint32_t data_id) {
    keepers_.emplace_back(data_id,
                          std::make_unique<HistoryKeeper>(data_dir_, data_id, policy_, console_));
    return keepers_.back().second->Start();
}

std::string HistoryStore::CachePathOf(std::uint32_t data_id) const {
    return CachePath(data_dir_, data_id);
}

void HistoryStore::OnSaved(const SavedRecord& saved) {
    for (auto& [id, keeper] : keepers_) {
        if (id != saved.data_id) continue;
        keeper->Save(saved.image, saved.length, saved.interval_seconds,
                     HistoryKeeper::Clock::now());
        return;
    }
}

void HistoryStore::Finish() {
    for (auto& [id, keeper] : keepers_) keeper->Stop();
}

}  // namespace runner::outputs
