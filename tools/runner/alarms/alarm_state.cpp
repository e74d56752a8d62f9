#include "tools/runner/alarms/alarm_state.h"

namespace runner::alarms {

AlarmEdge AlarmState::Step(bool beyond, bool back, std::chrono::milliseconds delay, Moment& now) {
    switch (phase) {
        case AlarmPhase::kNormal:
            if (!beyond) return AlarmEdge::kNone;
            if (delay.count() == 0) break;
            phase = AlarmPhase::kPending;
            since = now.steady();
            return AlarmEdge::kNone;
        case AlarmPhase::kPending:
            if (!beyond) {
                phase = AlarmPhase::kNormal;
                return AlarmEdge::kNone;
            }
            if (now.steady() - since < delay) return AlarmEdge::kNone;
            break;
        case AlarmPhase::kActive:
            if (!back) return AlarmEdge::kNone;
            if (delay.count() == 0) {
                phase = AlarmPhase::kNormal;
                return AlarmEdge::kCleared;
            }
            phase = AlarmPhase::kClearing;
            since = now.steady();
            return AlarmEdge::kNone;
        case AlarmPhase::kClearing:
            if (!back) {
                phase = AlarmPhase::kActive;
                return AlarmEdge::kNone;
            }
            if (now.steady() - since < delay) return AlarmEdge::kNone;
            phase = AlarmPhase::kNormal;
            return AlarmEdge::kCleared;
    }
    phase = AlarmPhase::kActive;
    return AlarmEdge::kRaised;
}

}  // namespace runner::alarms
