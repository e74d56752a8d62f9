#include "tools/runner/alarms/device_alarms.h"

#include <cmath>

namespace runner::alarms {

using alarm_log::AlarmKind;

DeviceAlarms::DeviceAlarms(std::uint32_t data_id, std::vector<AlarmRule> rules, int link_level)
    : data_id_(data_id), rules_(std::move(rules)), link_level_(link_level) {
    for (std::uint32_t r = 0; r < rules_.size(); ++r) {
        const int variable = rules_[r].variable;
        if (variable != kEveryCell) {
            alarms_.push_back(Alarm{r, variable, {}, false, {}});
            continue;
        }
        for (int cell = 0; cell < kCells; ++cell)
            alarms_.push_back(Alarm{r, kFirstCell + cell, {}, false, {}});
    }
    for (int v = 0; v < kVariables; ++v) {
        first_[v] = static_cast<std::uint32_t>(order_.size());
        for (std::uint32_t i = 0; i < alarms_.size(); ++i)
            if (alarms_[i].variable == v) order_.push_back(i);
    }
    first_[kVariables] = static_cast<std::uint32_t>(order_.size());
}

void DeviceAlarms::Check(std::string_view name, const std::string& display_name, float value,
                         Moment& now, AlarmListener& to) {
    const int v = VariableOf(name);
    if (v == kNoVariable || first_[v] == first_[v + 1]) return;
    const bool number = !std::isnan(value);
    if (!number) ++not_a_number_;
    for (std::uint32_t i = first_[v]; i < first_[v + 1]; ++i) {
        Alarm& a = alarms_[order_[i]];
        a.unconfirmed = false;
        if (!number) continue;  // changes nothing, not even a running delay
        const AlarmRule& rule = rules_[a.rule];
        const AlarmEdge edge = a.state.Step(rule.Beyond(value), rule.Back(value), rule.delay, now);
        if (edge == AlarmEdge::kNone) continue;
        Emit(a, edge == AlarmEdge::kRaised ? AlarmKind::kRaised : AlarmKind::kCleared, name,
             display_name, value, now.epoch(), to);
    }
}

void DeviceAlarms::RoundChecked(Moment& now, AlarmListener& to) {
    for (Alarm& a : alarms_) {
        if (!a.unconfirmed) continue;
        a.unconfirmed = false;
        a.state.phase = AlarmPhase::kNormal;
        Emit(a, AlarmKind::kCleared, VariableName(a.variable), a.name, std::nanf(""), now.epoch(),
             to);
    }
}

void DeviceAlarms::LinkLost(double heard_epoch, float period, Moment& now, AlarmListener& to) {
    if (link_level_ == 0 || link_.active()) return;
    link_.phase = AlarmPhase::kActive;
    link_raised_level_ = link_level_;
    link_heard_ = heard_epoch;
    link_period_ = period;
    EmitLink(AlarmKind::kRaised, static_cast<float>(now.seconds() - heard_epoch), now.epoch(), to);
}

void DeviceAlarms::RoundCompleted(Moment& now, AlarmListener& to) {
    if (!link_.active()) return;
    link_.phase = AlarmPhase::kNormal;
    EmitLink(AlarmKind::kCleared, static_cast<float>(now.seconds() - link_heard_), now.epoch(), to);
}

bool DeviceAlarms::Restore(const outputs::AlarmChange& active, AlarmListener& to) {
    if (active.rule == kLinkRule && active.variable == kLinkVariable) {
        if (link_level_ == 0) return false;
        link_.phase = AlarmPhase::kActive;
        link_raised_level_ = link_level_;
        // The round before the silence: as long before the raise as it then said.
        link_heard_ = static_cast<double>(active.epoch) -
                      (std::isfinite(active.value) ? static_cast<double>(active.value) : 0.0);
        link_period_ = active.limit;
        EmitLink(AlarmKind::kActive, active.value, active.epoch, to);
        return true;
    }
    const int v = VariableOf(active.variable);
    if (v == kNoVariable) return false;
    for (std::uint32_t i = first_[v]; i < first_[v + 1]; ++i) {
        Alarm& a = alarms_[order_[i]];
        if (rules_[a.rule].key != active.rule) continue;
        a.state.phase = AlarmPhase::kActive;
        a.unconfirmed = true;
        a.name = active.name;
        Emit(a, AlarmKind::kActive, active.variable, active.name, active.value, active.epoch, to);
        return true;
    }
    return false;
}

void DeviceAlarms::Emit(const Alarm& alarm, AlarmKind kind, std::string_view variable,
                        std::string_view name, float value, std::int64_t epoch,
                        AlarmListener& to) const {
    const AlarmRule& rule = rules_[alarm.rule];
    outputs::AlarmChange change;
    change.kind = kind;
    change.data_id = data_id_;
    change.rule = rule.key;
    change.variable = std::string(variable);
    change.name = std::string(name);
    change.value = value;
    change.above = rule.above;
    change.limit = rule.limit;
    change.clear = rule.clear;
    change.level = rule.level;
    change.code = rule.code;
    change.epoch = epoch;
    to.AlarmChanged(change);
}

void DeviceAlarms::EmitLink(AlarmKind kind, float value, std::int64_t epoch,
                            AlarmListener& to) const {
    outputs::AlarmChange change;
    change.kind = kind;
    change.data_id = data_id_;
    change.rule = kLinkRule;
    change.variable = kLinkVariable;
    change.name = kLinkName;
    change.value = value;
    change.above = true;
    change.limit = change.clear = link_period_;
    change.level = link_raised_level_;
    change.epoch = epoch;
    to.AlarmChanged(change);
}

}  // namespace runner::alarms
