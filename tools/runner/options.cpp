#include "tools/runner/options.h"

#include "tools/common/command_line.h"
#include "tools/runner/listen_address.h"

namespace runner {
namespace {

using command_line::Flag;
using command_line::Number;
using command_line::Option;
using command_line::Take;
using command_line::Text;

using Action = ParsedCommandLine::Action;

// --help wins over every fault; else the first fault, or `ok`.
ParsedCommandLine Outcome(ParsedCommandLine parsed, bool help, const std::string& fault,
                          Action ok) {
    parsed.action = help ? Action::kHelp : fault.empty() ? ok : Action::kError;
    if (!help) parsed.error = fault;
    return parsed;
}

Take ListenAddressTake(std::string* target) {
    return [target](const std::string& text, std::string* fault) {
        *target = text;
        std::string why;
        if (ParseListenAddress(text, nullptr, &why)) return true;
        if (!why.empty()) *fault += " (" + why + ")";
        return false;
    };
}

Take MqttUrl(MqttSettings* mqtt) {
    return [mqtt](const std::string& url, std::string* fault) {
        const std::string why = ParseMqttUrl(url, mqtt);
        if (!why.empty()) *fault = "--mqtt " + url + ": " + why;
        return why.empty();
    };
}

// Topics go below the prefix, so it must not be a pattern or an empty level.
Take TopicPrefix(std::string* target, const char* option) {
    return [target, option](const std::string& prefix, std::string* fault) {
        *target = prefix;
        if (prefix.empty()) return false;
        if (prefix.find_first_of("+#") == std::string::npos && prefix.front() != '/' &&
            prefix.back() != '/') {
            return true;
        }
        *fault = std::string("--") + option + " " + prefix +
                 ": a topic prefix without + or # and without a leading or trailing /";
        return false;
    };
}

// The options of a run by subject, in the order --help lists them, writing
// into the options they are given.
std::vector<Option> WhatToPoll(RunOptions& o) {
    return {
        {"simulate", nullptr,
         "answer with simulated modules on a pseudo-terminal\n"
         "(site: examples/site.json unless given)",
         nullptr, Flag(&o.simulate)},
        {"sim", "FILE", "simulated modules (default: examples/sim.json)", "a file",
         Text(&o.sim_path)},
        {"plugin", "PATH", "device plug-in (default: the built libbattery32.so)", "a path",
         Text(&o.plugin_path)},
        {"data", "DIR", "history files, one per device (default: ./data)", "a directory",
         Text(&o.data_dir, false)},
        {"tick-ms", "N", "polling period (default 1000; 0: back to back)",
         "a number of milliseconds (0: back to back)", Number(&o.tick_ms, 0, 3600000)},
        {"rounds", "N", "stop after N completed rounds of every device", "a positive number",
         Number(&o.rounds, 1, INT64_MAX)},
        {"time-limit", "S", "stop after S seconds in any case (exit 3 if rounds are missing)",
         "a positive number of seconds", command_line::Seconds(&o.time_limit_s)},
    };
}

std::vector<Option> WhatToShowAndKeep(RunOptions& o) {
    return {
        {"json", nullptr, "one JSON object per round on stdout; notes go to stderr", nullptr,
         Flag(&o.json)},
        {"verbose", nullptr, "also count the threshold checks of each round", nullptr,
         Flag(&o.verbose), 'v'},
        {"trace", nullptr, "show every frame sent and every burst received", nullptr,
         Flag(&o.trace)},
        {"quiet-device", nullptr, "drop the device's own diagnostic lines", nullptr,
         [&o](const std::string&, std::string*) {
             o.device_log = "off";
             return true;
         }},
        {"device-log", "WHERE", "device lines to stdout, stderr, off or a file",
         "stdout, stderr, off or a file", Text(&o.device_log, false)},
        {"fsync", nullptr, "sync the history file after every record", nullptr,
         Flag(&o.fsync_each_record)},
        {"history-every-round", nullptr, "save every record, not only at the device's interval",
         nullptr, Flag(&o.history_every_round)},
        {"cache-every", "S", "replace the restart cache at most every S seconds (default 60)",
         "seconds, 0..86400", Number(&o.cache_every_s, 0, 86400)},
        {"no-cache", nullptr, "do not load the last record at start", nullptr,
         Flag(&o.use_cache, false)},
        {"no-history", nullptr, "keep no history or cache (the data folder is not used)", nullptr,
         Flag(&o.history, false)},
    };
}

std::vector<Option> LinesAndWebView(RunOptions& o, bool* baud_given) {
    const Take baud = Number(&o.sim_baud, 0, 4000000);
    return {
        {"gap-us", "N", "quiet time that ends a burst (default: 3 character times)",
         "microseconds, 100 or more", Number(&o.gap_us, 100, 10000000)},
        {"reopen-ms", "N", "retry period for a lost port (default 3000)",
         "milliseconds, 10 or more", Number(&o.reopen_ms, 10, 3600000)},
        {"http", "[ADDR:]PORT", "serve the live web view (default address 127.0.0.1)",
         "[ADDR:]PORT, e.g. 8080 or 0.0.0.0:8080", ListenAddressTake(&o.http_listen)},
        {"http-token", "FILE", "every web request needs the token held in FILE",
         "a file holding the token", Text(&o.http_token_path, false)},
        {"reply-timeout-ms", "N",
         "how long a device holds its line waiting for a reply\n"
         "(default: what the line speed implies, 139 ms at 19200)",
         "milliseconds, 1 or more", Number(&o.reply_timeout_ms, 1, 3600000)},
        {"baud", "N",
         "with --simulate: speed of the simulated lines' timing\n"
         "(default 19200; 0: replies at once)",
         "a line speed in baud (0: no line timing)",
         [baud, baud_given](const std::string& text, std::string* fault) {
             *baud_given = true;
             return baud(text, fault);
         }},
    };
}

std::vector<Option> Publishing(MqttSettings& mqtt) {
    return {
        {"mqtt", "URL",
         "publish every round to a broker: mqtt://host[:1883] or\n"
         "mqtts://host[:8883]",
         nullptr, MqttUrl(&mqtt)},
        {"mqtt-cafile", "FILE", "CA certificates for mqtts:// (default: the system's)", nullptr,
         Text(&mqtt.cafile)},
        {"mqtt-credentials", "FILE", "lines username=NAME and password=SECRET", nullptr,
         Text(&mqtt.credentials_path)},
        {"mqtt-prefix", "P", "topic prefix (default battery32/<hostname>)", "a topic prefix",
         TopicPrefix(&mqtt.prefix, "mqtt-prefix")},
        {"mqtt-discovery", nullptr, "also publish home-automation discovery configs", nullptr,
         Flag(&mqtt.discovery)},
        {"mqtt-discovery-prefix", "P", "their topic prefix (default homeassistant)",
         "a topic prefix", TopicPrefix(&mqtt.discovery_prefix, "mqtt-discovery-prefix")},
        {"mqtt-queue", "N", "rounds held per device while the broker is away (default 3600)",
         "a number of rounds per device, 1..10000000", Number(&mqtt.queue_per_device, 1, 10000000)},
    };
}

std::vector<Option> RunOptionTable(RunOptions& o, bool* baud_given, bool* help) {
    std::vector<Option> table = WhatToPoll(o);
    for (std::vector<Option> group :
         {WhatToShowAndKeep(o), LinesAndWebView(o, baud_given), Publishing(o.mqtt)}) {
        table.insert(table.end(), group.begin(), group.end());
    }
    table.push_back({"help", nullptr, nullptr, nullptr, Flag(help), 'h'});
    return table;
}

// After the whole command line: "" or what does not fit together.
std::string Mismatch(const RunOptions& o, bool baud_given) {
    if (baud_given && !o.simulate) {
        return "--baud sets the timing of simulated lines: it goes with --simulate "
               "(a real line's speed is the device's setting)";
    }
    if (o.site_path.empty() && !o.simulate) {
        return "which site file? (or --simulate to try it on simulated modules)";
    }
    if (!o.http_token_path.empty() && o.http_listen.empty()) {
        return "--http-token goes with --http";
    }
    const MqttSettings& m = o.mqtt;
    if (m.url.empty() &&
        (!m.cafile.empty() || !m.credentials_path.empty() || !m.prefix.empty() || m.discovery)) {
        return "the --mqtt-... options need --mqtt URL";
    }
    if (!m.cafile.empty() && !m.tls) return "--mqtt-cafile needs an mqtts:// URL";
    return "";
}

ParsedCommandLine ParseDecode(const std::vector<std::string>& args) {
    ParsedCommandLine parsed;
    DecodeOptions& d = parsed.decode;
    bool help = false;
    const std::vector<Option> options = {
        {"json", nullptr, nullptr, nullptr, Flag(&d.json)},
        {"help", nullptr, nullptr, nullptr, Flag(&help), 'h'},
    };
    std::string fault =
        command_line::Walk(args, options, [&d](const std::string& path, std::string* why) {
            if (!d.history_path.empty()) {
                *why = "one history file at a time";
                return false;
            }
            d.history_path = path;
            return true;
        });
    if (fault.empty() && d.history_path.empty()) fault = "which history file?";
    return Outcome(parsed, help, fault.empty() ? fault : "decode: " + fault, Action::kDecode);
}

}  // namespace

std::string UsageText() {
    RunOptions unused;
    bool baud_given = false, help = false;
    return "usage: battery32-run [options] [SITE.json]\n"
           "       battery32-run --simulate [options] [SITE.json]\n"
           "       battery32-run decode HISTORY_FILE [--json]\n"
           "Polls battery monitor modules through the device plug-in, as the host would.\n"
           "decode prints a history file as CSV rows, or JSON lines with --json.\n" +
           command_line::Help(RunOptionTable(unused, &baud_given, &help), 21);
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args) {
    if (!args.empty() && args[0] == "decode") return ParseDecode({args.begin() + 1, args.end()});
    ParsedCommandLine parsed;
    RunOptions& o = parsed.run;
    bool baud_given = false, help = false;
    const auto site = [&o](const std::string& path, std::string* why) {
        if (!o.site_path.empty()) {
            *why = "one site file at a time (got " + o.site_path + " and " + path + ")";
            return false;
        }
        o.site_path = path;
        return true;
    };
    std::string fault = command_line::Walk(args, RunOptionTable(o, &baud_given, &help), site);
    if (fault.empty()) fault = Mismatch(o, baud_given);
    return Outcome(parsed, help, fault, Action::kRun);
}

}  // namespace runner
