#pragma once
// The alarms of one device: one per rule and variable it watches (a rule on
// every cell makes one per cell), each moved by the values the device submits,
// and the device's lost-communication alarm, raised when the runner calls it
// silent and cleared by its next completed round.
//
// Everything is set up front: a submission reads the variable's name where it
// lies, finds its alarms through a table and allocates nothing unless an
// alarm changes.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/runner/alarms/alarm_rule.h"
#include "tools/runner/alarms/alarm_state.h"
#include "tools/runner/alarms/watched_variable.h"
#include "tools/runner/outputs/alarm_change.h"

namespace runner::alarms {

// Takes every alarm change as it happens.
class AlarmListener {
public:
    virtual ~AlarmListener() = default;
    virtual void AlarmChanged(const outputs::AlarmChange& change) = 0;
};

// How the lost-communication alarm is named: its rule, its variable and its
// display name. Its value is the seconds without a completed round, its limit
// the silence period.
inline constexpr char kLinkRule[] = "lost_communication";
inline constexpr char kLinkVariable[] = "link";
inline constexpr char kLinkName[] = "communication";

class DeviceAlarms {
public:
    DeviceAlarms() = default;
    // `link_level` 0: no lost-communication alarm.
    DeviceAlarms(std::uint32_t data_id, std::vector<AlarmRule> rules, int link_level);

    // A value the device submits under `name`.
    void Check(std::string_view name, const std::string& display_name, float value, Moment& now,
               AlarmListener& to);
    // The device's round is over: an alarm restored at start that no value of
    // this round confirmed is cleared (its rule watches a value no longer submitted).
    void RoundChecked(Moment& now, AlarmListener& to);
    // The device was called silent; it last completed a round (or polling
    // began) at `heard_epoch`, `period` seconds or more ago.
    void LinkLost(double heard_epoch, float period, Moment& now, AlarmListener& to);
    // The device completed a round.
    void RoundCompleted(Moment& now, AlarmListener& to);
    // An alarm the log says was active when the runner stopped: true when it
    // is one of this device's, which then is active again (and told as such).
    bool Restore(const outputs::AlarmChange& active, AlarmListener& to);
    // The site's lost-communication level changed (0: no such alarm): a
    // lost communication from now on raises it at `level`; one active now
    // keeps the level it was raised at until it clears.
    void SetLinkLevel(int level) { link_level_ = level; }

    // Values submitted to a rule that were not a number.
    std::uint64_t not_a_number() const { return not_a_number_; }

private:
    struct Alarm {
        std::uint32_t rule = 0;
        int variable = 0;
        AlarmState state;
        bool unconfirmed = false;  // restored, and no value seen since
        std::string name;          // display name, kept for a restored one
    };

    void Emit(const Alarm& alarm, alarm_log::AlarmKind kind, std::string_view variable,
              std::string_view name, float value, std::int64_t epoch, AlarmListener& to) const;
    void EmitLink(alarm_log::AlarmKind kind, float value, std::int64_t epoch,
                  AlarmListener& to) const;

    std::uint32_t data_id_ = 0;
    std::vector<AlarmRule> rules_;
    std::vector<Alarm> alarms_;
    // The alarms of variable v are alarms_[order_[first_[v]]] .. before first_[v + 1].
    std::array<std::uint32_t, kVariables + 1> first_{};
    std::vector<std::uint32_t> order_;
    int link_level_ = 0;
    int link_raised_level_ = 0;  // of the lost-communication alarm active now
    AlarmState link_;
    float link_period_ = 0;
    double link_heard_ = 0;  // epoch seconds of the last round before the silence
    std::uint64_t not_a_number_ = 0;
};

}  // namespace runner::alarms
