#include "tools/runner/outputs/console/console_output.h"

#include "tools/alarm_log/alarm_record.h"
#include "tools/common/time_text.h"
#include "tools/record/record_format.h"
#include "tools/runner/energy/energy_counters.h"

namespace runner::outputs {

void ConsoleOutput::OnRound(const CompletedRound& round) {
    if (!settings_.rounds) return;
    const std::uint64_t number = round.device.rounds;
    const auto checks =
        settings_.threshold_checks ? std::optional(round.threshold_checks) : std::nullopt;
    if (round.record == nullptr) {
        console_.Record("[" + std::to_string(round.device.data_id) + "] round " +
                        std::to_string(number) + "  published " + std::to_string(round.length) +
                        " bytes of type " + std::to_string(round.type_id) +
                        " (not a 32-cell record)");
    } else if (settings_.json) {
        console_.Record(RoundJson(*round.record, number, checks, round.device.energy));
    } else {
        console_.Record(record::RoundLine(*round.record, number, checks, !console_.to_journal()) +
                        "  energy " + energy::EnergyText(round.device.energy));
    }
}

void ConsoleOutput::OnStatus(const DeviceStatus& device, line::LinkState before) {
    const std::string label = "[" + std::to_string(device.data_id) + "] ";
    if (device.state == before) return;  // its port or freshness: said elsewhere, or shown
    if (device.state == line::LinkState::kSilent) {
        console_.Problem(label + "silent: no round completed since " +
                         time_text::ClockTime(device.silent_since) + " (" +
                         time_text::Duration(settings_.silence_period) + " or more); " +
                         (device.port_lost ? "its port is lost, polling resumes when it is back"
                                           : "still asking on each turn"));
    } else if (before == line::LinkState::kSilent) {
        console_.Problem(label + "answering again: " +
                         console::Count(device.unanswered_in_silence, "command", "commands") +
                         " went unanswered while it was silent");
    }
}

void ConsoleOutput::OnAlarm(const AlarmChange& change) {
    if (change.kind == alarm_log::AlarmKind::kActive) {
        console_.Note(alarm_log::AlarmText(change) + " (active at the last stop)");
    } else {
        console_.Record(settings_.json ? alarm_log::AlarmJson(change)
                                       : alarm_log::AlarmText(change, !console_.to_journal()));
    }
}

}  // namespace runner::outputs
