#pragma once
// Publishing to a broker when the command line asks for it (--mqtt), kept out
// of the runner's own set-up. Builds without libmosquitto compile this file
// alone and refuse --mqtt.

#include <memory>
#include <string>

#include "tools/runner/console.h"
#include "tools/runner/options.h"
#include "tools/runner/runner.h"

namespace runner {

class MqttPublisher;

class MqttHookup {
public:
    MqttHookup();
    ~MqttHookup();

    // Null in a build that can publish; else why it cannot.
    static const char* Absent();
    // Reads the credentials file and makes the publisher. Returns "" (also
    // without --mqtt) or one line saying what is wrong.
    std::string Prepare(const RunOptions& options, const Console& console);
    // Puts the publisher in `runner`'s poll loop; `runner` must outlive Finish.
    void Attach(Runner& runner);
    // After the run: delivers what it can within a few seconds and reports.
    void Finish();

private:
    std::unique_ptr<MqttPublisher> publisher_;
};

}  // namespace runner
