#pragma once
// Times that follow from a line's speed and the polling tick.

#include <algorithm>
#include <chrono>

#include "battery/protocol.h"
#include "tools/common/serial_port.h"

namespace runner::line {

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
// the gap (1.6) ms. The frame lengths are the device's own.
inline LineDuration DefaultReplyTimeout(int baud, LineDuration burst_gap) {
    const auto frames =
        static_cast<long>(battery_protocol::kCommandLength + battery_protocol::kCellReplyLength);
    return serial_port::ByteTime(baud) * frames + kTurnaroundAllowance + burst_gap;
}

// Three ticks or kSilenceFloor, whichever is longer; kSilenceFloor for a zero tick.
inline LineDuration SilencePeriod(LineDuration tick) {
    return std::max<LineDuration>(tick * kSilenceTicks, kSilenceFloor);
}

}  // namespace runner::line
