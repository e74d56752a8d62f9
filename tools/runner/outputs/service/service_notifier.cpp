#include "tools/runner/outputs/service/service_notifier.h"

#include <time.h>

#include <cstdio>

namespace runner::outputs {
namespace {

constexpr auto kStatusEvery = std::chrono::seconds(10);
// A manager that did not take a message is offered it again this soon.
constexpr auto kRetryAfter = std::chrono::milliseconds(100);

std::string Plural(std::size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

std::unique_ptr<ServiceNotifier> ServiceNotifier::Start(const console::Console& console) {
    auto notifier = std::make_unique<ServiceNotifier>(
        console, std::chrono::microseconds(WatchdogMicroseconds()));
    if (notifier->socket_.usable()) return notifier;
    if (!notifier->socket_.problem().empty())
        console.Problem("service manager: " + notifier->socket_.problem());
    return nullptr;
}

ServiceNotifier::ServiceNotifier(const console::Console& console, Clock::duration watchdog)
    : console_(console), ping_every_(watchdog / 2) {}

void ServiceNotifier::Start(const DeviceList& devices) {
    devices_ = &devices;
    const auto now = Clock::now();
    CountRounds(now);
    next_status_ = now + kStatusEvery;
    if (ping_every_ > Clock::duration::zero()) next_ping_ = now;
    Tell({{"READY", "1"}, {"STATUS", "polling " + Plural(devices.size(), "device", "devices")}});
}

void ServiceNotifier::OnAlarm(const AlarmChange& change) {
    if (alarms_.Apply(change)) next_status_ = Clock::time_point::min();
}

void ServiceNotifier::Finish() { Tell({{"STOPPING", "1"}, {"STATUS", "stopping"}}); }

void ServiceNotifier::OnSiteReloaded(const SiteChange& change) {
    Reloading();
    // The devices that went took their rounds with them: the rate counts from here.
    CountRounds(Clock::now());
    const std::size_t devices = devices_ != nullptr ? devices_->size() : 0;
    const std::string polling = "polling " + Plural(devices, "device", "devices");
    Reloaded(change.refused.empty() ? polling
                                    : polling + " as before: reload refused: " + change.refused);
}

void ServiceNotifier::Reloading() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long long microseconds = now.tv_sec * 1000000LL + now.tv_nsec / 1000;
    Tell({{"RELOADING", "1"},
          {"MONOTONIC_USEC", std::to_string(microseconds)},
          {"STATUS", "reloading the site file"}});
}

void ServiceNotifier::Reloaded(const std::string& status) {
    // Not taken yet, it would come in one message with READY=1, which an
    // older manager reads as a reload begun, not one over.
    socket_.Unset("RELOADING");
    socket_.Unset("MONOTONIC_USEC");
    Tell({{"READY", "1"}, {"STATUS", status}});
}

void ServiceNotifier::AddWaits(std::vector<pollfd>&, Clock::time_point& wake) {
    wake = std::min({wake, next_ping_, next_status_});
    if (holding_) wake = std::min(wake, Clock::now() + kRetryAfter);
}

void ServiceNotifier::HandleWaits(const pollfd*, std::size_t, Clock::time_point now) {
    if (now >= next_ping_) {
        next_ping_ = now + ping_every_;
        Tell({{"WATCHDOG", "1"}});
    }
    if (now >= next_status_) {
        next_status_ = now + kStatusEvery;
        Tell({{"STATUS", Status(now)}});
    }
    if (holding_) holding_ = !socket_.Flush();
}

void ServiceNotifier::Resumed(Clock::duration, Clock::time_point now) {
    if (ping_every_ > Clock::duration::zero()) next_ping_ = now;
}

std::string ServiceNotifier::Status(Clock::time_point now) {
    const double seconds = std::chrono::duration<double>(now - counted_at_).count();
    const std::uint64_t before = rounds_;
    CountRounds(now);
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.2f",
                  seconds > 0 ? static_cast<double>(rounds_ - before) / seconds : 0.0);
    std::size_t silent = 0;
    std::size_t devices = 0;
    if (devices_ != nullptr) {
        devices = devices_->size();
        for (const DeviceStatus* d : *devices_) silent += d->state == line::LinkState::kSilent;
    }
    std::string text = Plural(devices, "device", "devices") + ", " + rate + " rounds/s";
    if (silent > 0) text += ", " + std::to_string(silent) + " silent";
    return text + ", " + Plural(alarms_.size(), "alarm", "alarms") + " active";
}

void ServiceNotifier::CountRounds(Clock::time_point now) {
    rounds_ = 0;
    if (devices_ != nullptr)
        for (const DeviceStatus* d : *devices_) rounds_ += d->rounds;
    counted_at_ = now;
}

void ServiceNotifier::Tell(std::initializer_list<std::pair<const char*, std::string>> values) {
    for (const auto& [key, value] : values) socket_.Set(key, value);
    holding_ = !socket_.Flush();
    if (const std::string failure = socket_.TakeFailure(); !failure.empty())
        console_.Problem("cannot tell the service manager how polling goes (" + failure + ")");
}

}  // namespace runner::outputs
