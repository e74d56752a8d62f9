#include "tools/runner/outputs/alarm_log/alarm_log_output.h"

namespace runner::outputs {

AlarmLogOutput::AlarmLogOutput(const std::string& data_dir, const console::Console& console)
    : console_(console), path_(alarm_log::LogPath(data_dir)), writer_(path_) {}

void AlarmLogOutput::Start(const DeviceList&) {
    std::size_t cut = 0;
    Report(writer_.Open(&cut));
    if (cut != 0) {
        console_.Problem("alarm log " + path_ + " ended in a partial line; cut " +
                         std::to_string(cut) + " bytes");
    }
}

void AlarmLogOutput::OnAlarm(const AlarmChange& change) {
    // An alarm active since the last stop is in the log already.
    if (change.kind == alarm_log::AlarmKind::kActive) return;
    // A log that could not be opened is tried again with each record.
    if (!writer_.is_open()) {
        std::string error = writer_.Open();
        if (!error.empty()) return Report(error);
    }
    Report(writer_.Append(change));
}

void AlarmLogOutput::Report(const std::string& error) {
    if (!error.empty() && !failing_) {
        console_.Problem("alarm log " + path_ + ": " + error +
                         " (alarms are still shown everywhere else)");
    }
    if (error.empty() && failing_) console_.Problem("alarm log " + path_ + ": writing again");
    failing_ = !error.empty();
}

}  // namespace runner::outputs
