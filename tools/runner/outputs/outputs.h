#pragma once
// The outputs of a run, each event handed to every one of them in turn.
// Which outputs a run has is decided in one place, make_outputs.cpp.

#include <cstdint>
#include <memory>
#include <vector>

#include "tools/common/console/console.h"
#include "tools/runner/data_folder/data_folder.h"
#include "tools/runner/loop/event_loop.h"
#include "tools/runner/outputs/history/history_store.h"
#include "tools/runner/outputs/output.h"

namespace runner::outputs {

class Outputs {
public:
    explicit Outputs(const console::Console& console) : console_(console) {}

    // Adds `output` behind the others: events reach the outputs in the order added.
    void Add(std::unique_ptr<Output> output) { list_.push_back(std::move(output)); }
    // The history store is added as any output, and also hands the devices
    // their records at start.
    void AddHistory(std::unique_ptr<HistoryStore> history) {
        history_ = history.get();
        Add(std::move(history));
    }
    // The history store; null when there is none.
    HistoryStore* history() const { return history_; }
    // The data folder's lock, held for as long as the outputs live.
    data_folder::DataFolderLock& data_lock() { return lock_; }
    // Adds the outputs that take part in the loop to it.
    void JoinLoop(loop::EventLoop& loop);

    // Each event goes to every output in turn. An output that throws is
    // reported once (later failures are only counted) and keeps its place.
    void Start(const DeviceList& devices);
    void OnRound(const CompletedRound& round);
    void OnSaved(const SavedRecord& saved);
    void OnStatus(const DeviceStatus& device, line::LinkState before);
    void OnAlarm(const AlarmChange& change);
    void OnSiteReloaded(const SiteChange& change);
    void Finish();

private:
    template <typename Event>
    void Each(Event&& event);

    const console::Console& console_;
    data_folder::DataFolderLock lock_;
    std::vector<std::unique_ptr<Output>> list_;
    HistoryStore* history_ = nullptr;
    std::uint64_t failures_ = 0;
};

}  // namespace runner::outputs
