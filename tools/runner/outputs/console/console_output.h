#pragma once
// The console's share of the outputs: one line per completed round on the
// records stream (the round line, or the record as JSON, with the device's
// energy counters), one there per alarm
// raised or cleared (a line for people, or the alarm as JSON), a note for an
// alarm still active from the last stop, and a problem line when a device
// goes silent and when it answers again.

#include <chrono>

#include "tools/common/console.h"
#include "tools/runner/outputs/output.h"

namespace runner::outputs {

class ConsoleOutput : public Output {
public:
    // With `threshold_checks`, each round line counts the checks made since
    // the last; `silence_period` is how long a device goes without a round
    // before it is called silent.
    ConsoleOutput(const console::Console& console, bool json, bool threshold_checks,
                  std::chrono::steady_clock::duration silence_period)
        : console_(console),
          json_(json),
          threshold_checks_(threshold_checks),
          silence_period_(silence_period) {}

    void OnRound(const CompletedRound& round) override;
    void OnStatus(const DeviceStatus& device, line::LinkState before) override;
    void OnAlarm(const AlarmChange& change) override;

private:
    const console::Console& console_;
    bool json_;
    bool threshold_checks_;
    std::chrono::steady_clock::duration silence_period_;
};

}  // namespace runner::outputs
