#include "tools/runner/outputs/outputs.h"

#include <exception>

namespace runner::outputs {

void Outputs::JoinLoop(loop::EventLoop& loop) {
    for (const auto& output : list_) {
        if (loop::Participant* p = output->participant()) loop.Add(*p);
    }
}

template <typename Event>
void Outputs::Each(Event&& event) {
    for (const auto& output : list_) {
        try {
            event(*output);
        } catch (const std::exception& e) {
            if (failures_++ == 0) {
                console_.Problem(std::string("an output failed to take an event: ") + e.what() +
                                 " (later failures are only counted)");
            }
        }
    }
}

void Outputs::Start(const DeviceList& devices) {
    Each([&](Output& o) { o.Start(devices); });
}

void Outputs::OnRound(const CompletedRound& round) {
    Each([&](Output& o) { o.OnRound(round); });
}

void Outputs::OnSaved(const SavedRecord& saved) {
    Each([&](Output& o) { o.OnSaved(saved); });
}

void Outputs::OnStatus(const DeviceStatus& device, line::LinkState before) {
    Each([&](Output& o) { o.OnStatus(device, before); });
}

void Outputs::OnAlarm(const AlarmChange& change) {
    Each([&](Output& o) { o.OnAlarm(change); });
}

void Outputs::OnSiteReloaded(const SiteChange& change) {
    Each([&](Output& o) { o.OnSiteReloaded(change); });
}

void Outputs::Finish() {
    Each([](Output& o) { o.Finish(); });
}

}  // namespace runner::outputs
