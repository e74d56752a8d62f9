#pragma once
// The live web view of battery32-run: a page with every device's cells, a
// small read-only JSON API and an event stream of completed rounds, served
// from the runner's own poll loop (see README, "Web view").

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/runner/round_output.h"

namespace runner {

struct HttpViewSettings {
    std::string listen;      // [ADDR:]PORT
    std::string token_path;  // empty: no token
    std::string data_dir;    // history files
};

class HttpView : public RoundOutput, public LoopParticipant {
public:
    using StatusSource = std::function<std::vector<DeviceStatus>()>;

    // Null in a build with the web view; else why it has none.
    static const char* Absent();
    // Listens and returns the view, or null with `error` set to one line.
    static std::unique_ptr<HttpView> Start(const HttpViewSettings& settings, StatusSource statuses,
                                           std::string* error);

    // "http://127.0.0.1:8080/"
    virtual std::string Url() const = 0;
    // Where the chart library is served from, or "" when none was found.
    virtual std::string ChartLibrary() const = 0;
    // "web view: 12 requests, 3 event streams (1 dropped for not reading)"
    virtual std::string Summary() const = 0;
};

}  // namespace runner
