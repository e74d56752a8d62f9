#include "tools/runner/run_options.h"

#include <algorithm>
#include <cctype>

#include "tools/common/command_line.h"
#include "tools/runner/line/line_timing.h"
#include "tools/runner/outputs/web/server/listen_address.h"

namespace runner {
namespace {

using command_line::Flag;
using command_line::Number;
using command_line::Option;
using command_line::Take;
using command_line::Text;

using Action = ParsedCommandLine::Action;

// What the walk saw beyond the values it stores, for the checks after it.
struct Given {
    bool baud = false;            // --baud
    bool alarm_timeout = false;   // --alarm-timeout
    bool mqtt_companion = false;  // any --mqtt-... option
    bool help = false;
    bool version = false;
};

// Marks that an option of the broker's was given, then takes its value.
Take MqttOption(bool* given, Take take) {
    return [given, take](const std::string& text, std::string* fault) {
        *given = true;
        return take(text, fault);
    };
}

Take ListenAddressTake(std::string* target) {
    return [target](const std::string& text, std::string* fault) {
        *target = text;
        std::string why;
        if (outputs::ParseListenAddress(text, nullptr, &why)) return true;
        if (!why.empty()) *fault += " (" + why + ")";
        return false;
    };
}

// A host name (letters, digits, '-' and '.'), added to `names`.
Take HostName(std::vector<std::string>* names) {
    return [names](const std::string& text, std::string*) {
        const bool name =
            !text.empty() && text.size() <= 253 &&
            std::all_of(text.begin(), text.end(), [](char c) {
                return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.';
            });
        if (name) names->push_back(text);
        return name;
    };
}

Take MqttUrl(outputs::MqttSettings* mqtt) {
    return [mqtt](const std::string& url, std::string* fault) {
        const std::string why = outputs::ParseMqttUrl(url, mqtt);
        if (!why.empty()) *fault = "--mqtt " + url + ": " + why;
        return why.empty();
    };
}

// Topics go below the prefix: it must be one every subscriber can see.
Take TopicPrefix(std::string* target, const char* option) {
    return [target, option](const std::string& prefix, std::string* fault) {
        *target = prefix;
        if (prefix.empty()) return false;
        const std::string problem = outputs::TopicPrefixProblem(prefix);
        if (problem.empty()) return true;
        // Only a short, printable prefix is quoted back: the message stays one line.
        const bool quotable =
            prefix.size() <= 80 &&
            std::all_of(prefix.begin(), prefix.end(), [](char c) { return c >= 0x20 && c < 0x7F; });
        *fault =
            std::string("--") + option + (quotable ? " " + prefix : std::string()) + ": " + problem;
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
        {"strict", nullptr,
         "refuse to run on a warning about the site file or the\n"
         "simulated modules (a key nobody reads, a value read as 0)",
         nullptr, Flag(&o.strict)},
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
        {"silent-after", "S",
         "call a device silent after S seconds without a round\n"
         "(default: three ticks, at least 10 s)",
         "a positive number of seconds", command_line::Seconds(&o.silent_after_s)},
    };
}

std::vector<Option> Alarms(RunOptions& o, Given* given) {
    const Take timeout = command_line::Seconds(&o.alarm_timeout_s);
    return {
        {"alarm-command", "PROGRAM",
         "run PROGRAM on every alarm raised or cleared, the alarm\n"
         "in BATTERY32_ALARM_... variables (no shell)",
         "a program", Text(&o.alarm_command, false)},
        {"alarm-timeout", "S", "stop a run of it after S seconds (default 10)",
         "a positive number of seconds",
         [timeout, given](const std::string& text, std::string* fault) {
             given->alarm_timeout = true;
             return timeout(text, fault);
         }},
    };
}

std::vector<Option> WhatToShowAndKeep(RunOptions& o) {
    return {
        {"json", nullptr, "one JSON object per round on stdout; notes go to stderr", nullptr,
         Flag(&o.json)},
        {"quiet", nullptr,
         "no line per round (for a service): alarms, notes and\n"
         "problems are still shown",
         nullptr, Flag(&o.quiet), 'q'},
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

std::vector<Option> LinesAndWebView(RunOptions& o, Given* given) {
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
        {"http-host", "NAME",
         "a name the web view answers to besides its address and\n"
         "localhost, when it needs no token (repeat for more)",
         "a host name (letters, digits, - and .)", HostName(&o.http_hosts)},
        {"reply-timeout-ms", "N",
         "how long a device holds its line waiting for a reply\n"
         "(default: what the line speed implies, 139 ms at 19200)",
         "milliseconds, 1 or more", Number(&o.reply_timeout_ms, 1, 3600000)},
        {"baud", "N",
         "with --simulate: speed of the simulated lines' timing\n"
         "(default 19200; 0: replies at once)",
         "a line speed in baud (0: no line timing)",
         [baud, given](const std::string& text, std::string* fault) {
             given->baud = true;
             return baud(text, fault);
         }},
    };
}

std::vector<Option> Publishing(outputs::MqttSettings& mqtt, Given* given) {
    bool* companion = &given->mqtt_companion;
    return {
        {"mqtt", "URL",
         "publish every round to a broker: mqtt://host[:1883] or\n"
         "mqtts://host[:8883]",
         nullptr, MqttUrl(&mqtt)},
        {"mqtt-cafile", "FILE", "CA certificates for mqtts:// (default: the system's)", nullptr,
         MqttOption(companion, Text(&mqtt.cafile))},
        {"mqtt-credentials", "FILE", "lines username=NAME and password=SECRET", nullptr,
         MqttOption(companion, Text(&mqtt.credentials_path))},
        {"mqtt-prefix", "P", "topic prefix (default battery32/<hostname>)", "a topic prefix",
         MqttOption(companion, TopicPrefix(&mqtt.prefix, "mqtt-prefix"))},
        {"mqtt-discovery", nullptr, "also publish home-automation discovery configs", nullptr,
         MqttOption(companion, Flag(&mqtt.discovery))},
        {"mqtt-discovery-prefix", "P", "their topic prefix (default homeassistant)",
         "a topic prefix",
         MqttOption(companion, TopicPrefix(&mqtt.discovery_prefix, "mqtt-discovery-prefix"))},
        {"mqtt-queue", "N", "rounds held per device while the broker is away (default 3600)",
         "a number of rounds per device, 1..10000000",
         MqttOption(companion, Number(&mqtt.queue_per_device, 1, 10000000))},
    };
}

std::vector<Option> RunOptionTable(RunOptions& o, Given* given) {
    std::vector<Option> table = WhatToPoll(o);
    for (std::vector<Option> group : {WhatToShowAndKeep(o), Alarms(o, given),
                                      LinesAndWebView(o, given), Publishing(o.mqtt, given)}) {
        table.insert(table.end(), group.begin(), group.end());
    }
    table.push_back({"check", nullptr,
                     "check the options, the site file, every device's settings,\n"
                     "the data folder and the ports, then exit; nothing is\n"
                     "started, opened, written or locked",
                     nullptr, Flag(&o.check)});
    table.push_back(
        {"version", nullptr, "print the version and exit", nullptr, Flag(&given->version)});
    table.push_back({"help", nullptr, nullptr, nullptr, Flag(&given->help), 'h'});
    return table;
}

// After the whole command line: "" or what does not fit together.
std::string Mismatch(const RunOptions& o, const Given& given) {
    if (given.baud && !o.simulate) {
        return "--baud sets the timing of simulated lines: it goes with --simulate "
               "(a real line's speed is the device's setting)";
    }
    if (o.site_path.empty() && !o.simulate) {
        return "which site file? (or --simulate to try it on simulated modules)";
    }
    if (!o.http_token_path.empty() && o.http_listen.empty()) {
        return "--http-token goes with --http";
    }
    if (!o.http_hosts.empty() && o.http_listen.empty()) return "--http-host goes with --http";
    if (o.mqtt.url.empty() && given.mqtt_companion) return "the --mqtt-... options need --mqtt URL";
    if (o.quiet && o.verbose)
        return "--verbose counts the checks on the round lines, which --quiet leaves out";
    if (given.alarm_timeout && o.alarm_command.empty())
        return "--alarm-timeout goes with --alarm-command";
    if (!o.mqtt.cafile.empty() && !o.mqtt.tls) return "--mqtt-cafile needs an mqtts:// URL";
    return "";
}

}  // namespace

std::chrono::steady_clock::duration SilencePeriod(const RunOptions& options) {
    if (options.silent_after_s > 0) {
        return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(options.silent_after_s));
    }
    return line::SilencePeriod(std::chrono::milliseconds(options.tick_ms));
}

std::string UsageText() {
    RunOptions unused;
    Given given;
    return "usage: battery32-run [options] SITE.json\n"
           "       battery32-run --simulate [options] [SITE.json]\n"
           "       battery32-run --check [options] SITE.json\n"
           "       battery32-run decode HISTORY_FILE [--json]\n"
           "       battery32-run alarms [--active] [--since T] DIR\n"
           "       battery32-run scan PORT [--addresses A-B] [--baud N] [--rs485] "
           "[--reply-timeout-ms N]\n"
           "       battery32-run reset-energy DIR DATA_ID\n"
           "Polls battery monitor modules through the device plug-in, as the host would.\n"
           "decode prints a history file as CSV rows, or JSON lines with --json (decode --help).\n"
           "alarms prints the alarm log of a data folder.\n"
           "scan asks each address on a line whether a module answers (scan --help).\n"
           "reset-energy sets a device's energy counters in a data folder back to zero.\n" +
           command_line::Help(RunOptionTable(unused, &given), 21);
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args) {
    ParsedCommandLine parsed;
    RunOptions& o = parsed.run;
    Given given;
    const auto site = [&o](const std::string& path, std::string* why) {
        if (!o.site_path.empty()) {
            *why = "one site file at a time (got " + o.site_path + " and " + path + ")";
            return false;
        }
        o.site_path = path;
        return true;
    };
    std::string fault = command_line::Walk(args, RunOptionTable(o, &given), site);
    if (fault.empty()) fault = Mismatch(o, given);
    // --help and --version end the reading: what follows them is not judged.
    if (given.help || given.version) {
        parsed.action = given.help ? Action::kHelp : Action::kVersion;
        return parsed;
    }
    parsed.action = fault.empty() ? Action::kRun : Action::kError;
    parsed.error = fault;
    return parsed;
}

}  // namespace runner
