#pragma once
// The console's share of the outputs: one line per completed round on the
// records stream (the round line, or the record as JSON, with the device's
// energy counters), one there per alarm
// raised or cleared (a line for people, or the alarm as JSON), a note for an
// alarm still active from the last stop, and a problem line when a device
// goes silent and when it answers again.

#include <chrono>

#include "tools/common/console/console.h"
#include "tools/runner/outputs/output.h"

namespace runner::outputs {

class ConsoleOutput : public Output {
public:
    struct Settings {
        bool json = false;              // JSON objects instead of lines for people
        bool rounds = true;             // a line per round (--quiet: none)
        bool threshold_checks = false;  // each round line counts the checks made since the last
        // How long a device goes without a round before it is called silent.
        std::chrono::steady_clock::duration silence_period{};
    };
    ConsoleOutput(const console::Console& console, const Settings& settings)
        : console_(console), settings_(settings) {}

    void OnRound(const CompletedRound& round) override;
    void OnStatus(const DeviceStatus& device, line::LinkState before) override;
    void OnAlarm(const AlarmChange& change) override;

private:
    const console::Console& console_;
    Settings settings_;
};

}  // namespace runner::outputs
