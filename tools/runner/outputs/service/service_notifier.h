#pragma once
// The run as its service manager sees it (systemd, a unit of Type=notify),
// told through the socket $NOTIFY_SOCKET names (notify_socket.h):
// - READY=1 when the outputs start: the site is read, its devices are set
//   up and the ports open; with a first STATUS;
// - STATUS=... every 10 s and after an alarm changes: the devices, the rounds
//   per second since the last status, the silent devices and the alarms
//   active, as `systemctl status` shows them;
// - WATCHDOG=1 at half the period the unit's WatchdogSec= gives, sent from the
//   loop: a loop that stalls stops sending, and systemd restarts the service;
// - RELOADING=1, then READY=1 once the site polls as it now stands, around a
//   reload of the site file (with the time, as Type=notify-reload wants it);
//   a reload happens between two passes of the loop, so both go together;
// - STOPPING=1 when polling ends.

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>

#include "tools/common/console/console.h"
#include "tools/runner/outputs/output.h"
#include "tools/runner/outputs/service/notify_socket.h"

namespace runner::outputs {

class ServiceNotifier final : public Output, public loop::Participant {
public:
    using Clock = loop::Clock;

    // The notifier when a service manager listens ($NOTIFY_SOCKET is set);
    // null otherwise, after one line when it names no socket that can be used.
    static std::unique_ptr<ServiceNotifier> Start(const console::Console& console);

    ServiceNotifier(const console::Console& console, Clock::duration watchdog);

    void Start(const DeviceList& devices) override;
    void OnAlarm(const AlarmChange& change) override;
    void OnSiteReloaded(const SiteChange& change) override;
    void Finish() override;
    loop::Participant* participant() override { return this; }

    void AddWaits(std::vector<pollfd>& fds, Clock::time_point& wake) override;
    void HandleWaits(const pollfd* fds, std::size_t count, Clock::time_point now) override;
    // The program was held (SIGSTOP, a debugger): the watchdog is told at once.
    void Resumed(Clock::duration held, Clock::time_point now) override;

private:
    // "2 devices, 1.98 rounds/s, 1 silent, 1 alarm active", the rate since the last status.
    std::string Status(Clock::time_point now);
    void CountRounds(Clock::time_point now);
    void Reloading();
    // `status`: how polling goes on.
    void Reloaded(const std::string& status);
    // One message of "KEY=VALUE" lines.
    void Tell(std::initializer_list<std::pair<const char*, std::string>> values);

    const console::Console& console_;
    NotifySocket socket_;
    const Clock::duration ping_every_;  // zero: no watchdog
    const DeviceList* devices_ = nullptr;
    alarm_log::ActiveAlarms alarms_;
    std::uint64_t rounds_ = 0;
    Clock::time_point counted_at_{};
    Clock::time_point next_status_ = Clock::time_point::max();
    Clock::time_point next_ping_ = Clock::time_point::max();
    bool holding_ = false;  // the manager did not take the last message yet
};

}  // namespace runner::outputs
