#pragma once
// Command line of battery32-run.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/runner/mqtt_settings.h"

namespace runner {

struct RunOptions {
    std::string site_path;    // empty with --simulate: the example site
    std::string plugin_path;  // empty: DefaultPluginPath()
    std::string data_dir = "data";
    int tick_ms = 1000;        // 0: back to back
    std::uint64_t rounds = 0;  // 0: until stopped
    double time_limit_s = 0;   // 0: none
    bool json = false;
    bool verbose = false;
    bool trace = false;
    std::string device_log = "";  // "" default, "off", "stdout", "stderr" or a file
    bool simulate = false;
    std::string sim_path;  // empty with --simulate: the example module file
    bool fsync_each_record = false;
    bool use_cache = true;
    bool history = true;               // false: the data folder is not touched at all
    bool history_every_round = false;  // false: at the device's history interval
    int cache_every_s = 60;            // the cache is replaced at most this often
    int gap_us = 0;                    // 0: three character times at the line's speed
    int reopen_ms = 3000;
    std::string http_listen;      // empty: no web view; else "ADDR:PORT" as given
    std::string http_token_path;  // empty: no token needed
    MqttSettings mqtt;            // url empty: no publishing
    int reply_timeout_ms = 0;     // 0: what the line's speed implies
    int sim_baud = 19200;         // --simulate: line timing of the simulated lines; 0: none
};

struct DecodeOptions {
    std::string history_path;
    bool json = false;
};

struct ParsedCommandLine {
    enum class Action { kRun, kDecode, kHelp, kError } action = Action::kError;
    RunOptions run;
    DecodeOptions decode;
    std::string error;  // for kError
};

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args);
std::string UsageText();

}  // namespace runner
