#pragma once
// The alarm log's share of the outputs: every alarm raised or cleared goes
// into the data folder's alarm log (DIR/alarms.log, tools/alarm_log/
// alarm_log_file.h), which the next start reads to know which alarms are
// still active and `battery32-run alarms DIR` prints. The data folder's lock
// is held by the outputs.

#include <string>

#include "tools/alarm_log/alarm_log_file.h"
#include "tools/common/console/console.h"
#include "tools/runner/outputs/output.h"

namespace runner::outputs {

class AlarmLogOutput : public Output {
public:
    AlarmLogOutput(const std::string& data_dir, const console::Console& console);

    // Opens the log: before the alarms it holds are restored.
    void Start(const DeviceList& devices) override;
    void OnAlarm(const AlarmChange& change) override;

private:
    // One line when writing starts failing, one when it works again.
    void Report(const std::string& error);

    const console::Console& console_;
    std::string path_;
    alarm_log::AlarmLogWriter writer_;
    bool failing_ = false;
};

}  // namespace runner::outputs
