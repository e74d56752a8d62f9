#pragma once
// Times that follow from a line's speed and the polling tick.

#include <algorithm>
#include <chrono>

#include "tools/sim/module_wire.h"

namespace runner {

using LineDuration = std::chrono::steady_clock::duration;

// What a module may take between hearing a command and starting its reply,
// with room for a gateway that is busy when the reply comes in.
inline constexpr std::chrono::milliseconds kTurnaroundAllowance{100};
// How long a device may go without completing a round before it is called silent.
inline constexpr std::chrono::seconds kSilenceFloor{10};
inline constexpr int kSilenceTicks = 3;

// How long a device waits for a reply: its command's transmission time, the
// turnaround allowance, the longest reply's transmission time, and the quiet
// gap after which the reply is handed over. At 19200 baud: 2.6 + 100 + 34.9 +
// the gap (1.6) ms. A byte is 10 bits (8N1).
inline LineDuration DefaultReplyTimeout(int baud, LineDuration burst_gap) {
    const auto byte = std::chrono::nanoseconds(10LL * 1000000000LL / (baud > 0 ? baud : 9600));
    return byte * static_cast<long>(module_sim::kCommandLength + module_sim::kCellReplyLength) +
           kTurnaroundAllowance + burst_gap;
}

// Three ticks or kSilenceFloor, whichever is longer; kSilenceFloor for a zero tick.
inline LineDuration SilencePeriod(LineDuration tick) {
    return std::max<LineDuration>(tick * kSilenceTicks, kSilenceFloor);
}

}  // namespace runner
