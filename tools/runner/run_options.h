#pragma once
// The options of a run of battery32-run: read from the command line (where
// what does not fit together is refused), then resolved once before anything
// starts: defaults filled in and the files they name read. From then on they
// never change.

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/console/console.h"
#include "tools/runner/outputs/mqtt/mqtt_settings.h"

namespace runner {

struct RunOptions {
    std::string site_path;    // empty with --simulate: the example site
    std::string plugin_path;  // empty: DefaultPluginPath()
    std::string data_dir = "data";
    int tick_ms = 1000;        // 0: back to back
    std::uint64_t rounds = 0;  // 0: until stopped
    double time_limit_s = 0;   // 0: none
    bool json = false;
    bool quiet = false;  // no round lines (or JSON rounds); alarms and problems still shown
    bool verbose = false;
    bool trace = false;
    std::string device_log = "";  // "" default, "off", "stdout", "stderr" or a file
    bool simulate = false;
    std::string sim_path;  // empty with --simulate: the example module file
    bool strict = false;   // a warning about the site or the modules stops the run
    bool fsync_each_record = false;
    bool use_cache = true;
    bool history = true;               // false: the data folder is not touched at all
    bool history_every_round = false;  // false: at the device's history interval
    int cache_every_s = 60;            // the cache is replaced at most this often
    int gap_us = 0;                    // 0: three character times at the line's speed
    int reopen_ms = 3000;
    std::string http_listen;              // empty: no web view; else "ADDR:PORT" as given
    std::string http_token_path;          // empty: no token needed
    std::string http_token;               // read from http_token_path when resolved
    std::vector<std::string> http_hosts;  // --http-host: names the view answers to
    outputs::MqttSettings mqtt;           // url empty: no publishing
    int reply_timeout_ms = 0;             // 0: what the line's speed implies
    int sim_baud = 19200;                 // --simulate: line timing of the simulated lines; 0: none
    double silent_after_s = 0;            // 0: three ticks, at least 10 s
    std::string alarm_command;            // empty: none; else run on every alarm raised or cleared
    double alarm_timeout_s = 10;          // how long one run of it may take
    // false: a reply is handed over only after the quiet gap, never as soon as
    // it is whole (no option: for measuring what the gap alone gives).
    bool end_reply_on_length = true;
    // --check: every check a start makes, and nothing started, written or locked.
    bool check = false;
};

struct ParsedCommandLine {
    enum class Action { kRun, kHelp, kVersion, kError } action = Action::kError;
    RunOptions run;
    std::string error;  // for kError
};

// How long a device goes without completing a round before it is called
// silent: --silent-after, or three ticks and at least 10 s.
std::chrono::steady_clock::duration SilencePeriod(const RunOptions& options);

// The command line of a run (not of a sub-command such as decode).
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args);
std::string UsageText();

// Fills in what the command line leaves to defaults (with --simulate the
// example site and modules, the plug-in beside the program, the MQTT topic
// prefix) and reads the files the options name (the web view's token, the
// broker's credentials). Returns every problem found, one line each; none
// when the run can go on.
std::vector<std::string> ResolveOptions(RunOptions& options, const console::Console& console);

}  // namespace runner
