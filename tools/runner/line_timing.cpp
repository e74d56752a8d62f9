#include "tools/runner/line_timing.h"

#include <algorithm>

#include "tools/sim/module_wire.h"

namespace runner {

LineDuration ByteTime(int baud) {
    return std::chrono::nanoseconds(10LL * 1000000000LL / (baud > 0 ? baud : 9600));
}

LineDuration DefaultReplyTimeout(int baud, LineDuration burst_gap) {
    const auto byte = ByteTime(baud);
    return byte * static_cast<long>(module_sim::kCommandLength) + kTurnaroundAllowance +
           byte * static_cast<long>(module_sim::kCellReplyLength) + burst_gap;
}

LineDuration SilencePeriod(LineDuration tick) {
    return std::max<LineDuration>(tick * kSilenceTicks, kSilenceFloor);
}

}  // namespace runner
