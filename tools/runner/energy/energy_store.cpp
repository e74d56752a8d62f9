#include "tools/runner/energy/energy_store.h"

#include <ctime>
#include <exception>

#include "tools/record/history_file.h"
#include "tools/runner/data_folder/data_folder.h"
#include "tools/runner/energy/energy_file.h"

namespace runner::energy {

EnergyStore::EnergyStore(std::string data_dir, bool sync_each_change,
                         const console::Console& console)
    : data_dir_(std::move(data_dir)), sync_each_change_(sync_each_change), console_(console) {}

EnergyStore::~EnergyStore() { Finish(); }

EnergyCounters EnergyStore::Adopt(std::uint32_t data_id) {
    Device d;
    d.data_id = data_id;
    d.path = data_folder::EnergyPath(data_dir_, data_id);
    d.fresh = d.path + ".new";
    const std::string label = "[" + std::to_string(data_id) + "] ";
    EnergyCounters counters;
    counters.since = std::time(nullptr);
    try {
        std::string note;
        if (const auto read = ReadEnergyFile(d.path, data_id, &note)) counters = *read;
        if (!note.empty()) console_.Problem(label + note);
    } catch (const std::exception& e) {
        console_.Problem(label + "energy counters: " + e.what() +
                         "; left alone, this run counts from zero without keeping them");
        d.kept = false;
    }
    d.latest = counters;
    devices_.push_back(std::move(d));
    return counters;
}

void EnergyStore::Keep(std::uint32_t data_id, const EnergyCounters& counters) {
    for (Device& d : devices_) {
        if (d.data_id != data_id) continue;
        if (!d.kept) return;
        d.latest = counters;
        Write(d, sync_each_change_);
        return;
    }
}

void EnergyStore::Release(std::uint32_t data_id) {
    for (auto d = devices_.begin(); d != devices_.end(); ++d) {
        if (d->data_id != data_id) continue;
        if (d->kept && d->unsynced) Write(*d, true);
        devices_.erase(d);
        return;
    }
}

void EnergyStore::Write(Device& d, bool sync) {
    char text[256];
    const std::size_t length = EnergyFileText(d.data_id, d.latest, text, sizeof text);
    const std::string error = record::ReplaceFile(d.path, d.fresh, text, length, sync);
    d.unsynced = !error.empty() || !sync;
    if (!error.empty() && !d.failing) {
        console_.Problem("[" + std::to_string(d.data_id) + "] energy counters " + d.path + ": " +
                         error);
    }
    if (error.empty() && d.failing) {
        console_.Problem("[" + std::to_string(d.data_id) + "] energy counters " + d.path +
                         ": writing again");
    }
    d.failing = !error.empty();
}

void EnergyStore::Finish() {
    for (Device& d : devices_)
        if (d.kept && d.unsynced) Write(d, true);
}

}  // namespace runner::energy
