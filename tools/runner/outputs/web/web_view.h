#pragma once
// The live web view of battery32-run: a page with every device's cells, a
// small read-only JSON API and an event stream of completed rounds, served
// from the runner's own loop (see README, "Web view"). Built where
// libmicrohttpd is found; elsewhere Start() says why there is none.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tools/common/console/console.h"
#include "tools/runner/outputs/output.h"

namespace runner::outputs {

// What the page's header shows, with the figures its chart needs.
struct ViewHeading {
    std::string host;     // the machine's name
    std::string site;     // the site's name
    std::string version;  // of battery32-run
    std::int64_t tick_ms = 0;
    double silent_after_s = 0;  // the silence period
};

struct WebViewSettings {
    std::string listen;                   // [ADDR:]PORT
    std::string token_path;               // empty: no token
    std::string token;                    // the token read from it
    std::string data_dir;                 // history files
    std::vector<std::string> host_names;  // names the Host header may give besides addresses
    ViewHeading heading;                  // its version is filled in by the view
};

class WebView : public Output, public loop::Participant {
public:
    // Null in a build with the web view; else why it has none (and a run
    // that asks for --http is refused).
    static const char* Absent();
    // Listens, says where, and returns the view; null with `error` set to one
    // line when it cannot.
    static std::unique_ptr<WebView> Start(const WebViewSettings& settings,
                                          const console::Console& console, std::string* error);

    loop::Participant* participant() override { return this; }
};

}  // namespace runner::outputs
