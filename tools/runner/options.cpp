#include "tools/runner/options.h"

#include <cerrno>
#include <cstdlib>

#include "tools/runner/listen_address.h"

namespace runner {
namespace {

bool ParseLong(const std::string& text, long long min, long long max, long long* out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0' || v < min || v > max) return false;
    *out = v;
    return true;
}

bool ParseSeconds(const std::string& text, double* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (end == nullptr || *end != '\0' || !(v > 0) || v > 1e7) return false;
    *out = v;
    return true;
}

}  // namespace

std::string UsageText() {
    return "usage: battery32-run [options] [SITE.json]\n"
           "       battery32-run --simulate [options] [SITE.json]\n"
           "       battery32-run decode HISTORY_FILE [--json]\n"
           "Polls battery monitor modules through the device plug-in, as the host would.\n"
           "decode prints a history file as CSV rows, or JSON lines with --json.\n"
           "  --simulate         answer with simulated modules on a pseudo-terminal\n"
           "                     (site: examples/site.json unless given)\n"
           "  --sim FILE         simulated modules (default: examples/sim.json)\n"
           "  --plugin PATH      device plug-in (default: the built libbattery32.so)\n"
           "  --data DIR         history files, one per device (default: ./data)\n"
           "  --tick-ms N        polling period (default 1000; 0: back to back)\n"
           "  --rounds N         stop after N completed rounds of every device\n"
           "  --time-limit S     stop after S seconds in any case (exit 3 if rounds are missing)\n"
           "  --json             one JSON object per round on stdout; notes go to stderr\n"
           "  --verbose          also count the threshold checks of each round\n"
           "  --trace            show every frame sent and every burst received\n"
           "  --quiet-device     drop the device's own diagnostic lines\n"
           "  --device-log WHERE device lines to stdout, stderr, off or a file\n"
           "  --fsync            sync the history file after every record\n"
           "  --history-every-round  save every record, not only at the device's interval\n"
           "  --cache-every S    replace the restart cache at most every S seconds (default 60)\n"
           "  --no-cache         do not load the last record at start\n"
           "  --no-history       keep no history or cache (the data folder is not used)\n"
           "  --gap-us N         quiet time that ends a burst (default: 3 character times)\n"
           "  --reopen-ms N      retry period for a lost port (default 3000)\n"
           "  --http [ADDR:]PORT serve the live web view (default address 127.0.0.1)\n"
           "  --http-token FILE  every web request needs the token held in FILE\n"
           "  --reply-timeout-ms N  how long a device holds its line waiting for a reply\n"
           "                     (default: what the line speed implies, 139 ms at 19200)\n"
           "  --baud N           with --simulate: speed of the simulated lines' timing\n"
           "                     (default 19200; 0: replies at once)\n" +
           MqttUsageText();
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args) {
    ParsedCommandLine parsed;
    auto fail = [&parsed](const std::string& message) {
        parsed.action = ParsedCommandLine::Action::kError;
        parsed.error = message;
        return parsed;
    };

    if (!args.empty() && args[0] == "decode") {
        for (std::size_t i = 1; i < args.size(); ++i) {
            if (args[i] == "--help" || args[i] == "-h") {
                parsed.action = ParsedCommandLine::Action::kHelp;
                return parsed;
            }
            if (args[i] == "--json") parsed.decode.json = true;
            else if (!args[i].empty() && args[i][0] == '-') return fail("decode: unknown option " + args[i]);
            else if (parsed.decode.history_path.empty()) parsed.decode.history_path = args[i];
            else return fail("decode: one history file at a time");
        }
        if (parsed.decode.history_path.empty()) return fail("decode: which history file?");
        parsed.action = ParsedCommandLine::Action::kDecode;
        return parsed;
    }

    RunOptions& o = parsed.run;
    bool baud_given = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* out) {
            if (i + 1 >= args.size()) return false;
            *out = args[++i];
            return true;
        };
        auto number = [&](long long min, long long max, long long* out) {
            std::string text;
            return value(&text) && ParseLong(text, min, max, out);
        };
        long long n = 0;
        std::string text;
        std::string mqtt_error;
        if (ParseMqttOption(args, &i, &o.mqtt, &mqtt_error)) {
            if (!mqtt_error.empty()) return fail(mqtt_error);
        } else if (a == "--help" || a == "-h") {
            parsed.action = ParsedCommandLine::Action::kHelp;
            return parsed;
        } else if (a == "--simulate") {
            o.simulate = true;
        } else if (a == "--sim") {
            if (!value(&o.sim_path)) return fail("--sim needs a file");
        } else if (a == "--site") {
            if (!value(&o.site_path)) return fail("--site needs a file");
        } else if (a == "--plugin") {
            if (!value(&o.plugin_path)) return fail("--plugin needs a path");
        } else if (a == "--data") {
            if (!value(&o.data_dir) || o.data_dir.empty()) return fail("--data needs a directory");
        } else if (a == "--tick-ms") {
            if (!number(0, 3600000, &n)) {
                return fail("--tick-ms needs a number of milliseconds (0: back to back)");
            }
            o.tick_ms = static_cast<int>(n);
        } else if (a == "--rounds") {
            if (!number(1, INT64_MAX, &n)) return fail("--rounds needs a positive number");
            o.rounds = static_cast<std::uint64_t>(n);
        } else if (a == "--time-limit") {
            if (!value(&text) || !ParseSeconds(text, &o.time_limit_s)) {
                return fail("--time-limit needs a positive number of seconds");
            }
        } else if (a == "--json") {
            o.json = true;
        } else if (a == "--verbose" || a == "-v") {
            o.verbose = true;
        } else if (a == "--trace") {
            o.trace = true;
        } else if (a == "--quiet-device") {
            o.device_log = "off";
        } else if (a == "--device-log") {
            if (!value(&o.device_log) || o.device_log.empty()) {
                return fail("--device-log needs stdout, stderr, off or a file");
            }
        } else if (a == "--fsync") {
            o.fsync_each_record = true;
        } else if (a == "--no-cache") {
            o.use_cache = false;
        } else if (a == "--no-history") {
            o.history = false;
        } else if (a == "--history-every-round") {
            o.history_every_round = true;
        } else if (a == "--cache-every") {
            if (!number(0, 86400, &n)) return fail("--cache-every needs seconds, 0..86400");
            o.cache_every_s = static_cast<int>(n);
        } else if (a == "--gap-us") {
            if (!number(100, 10000000, &n)) return fail("--gap-us needs microseconds, 100 or more");
            o.gap_us = static_cast<int>(n);
        } else if (a == "--reopen-ms") {
            if (!number(10, 3600000, &n)) return fail("--reopen-ms needs milliseconds, 10 or more");
            o.reopen_ms = static_cast<int>(n);
        } else if (a == "--http") {
            std::string why;
            if (!value(&o.http_listen) || !ParseListenAddress(o.http_listen, nullptr, &why)) {
                return fail("--http needs [ADDR:]PORT, e.g. 8080 or 0.0.0.0:8080" +
                            (why.empty() ? std::string() : " (" + why + ")"));
            }
        } else if (a == "--http-token") {
            if (!value(&o.http_token_path) || o.http_token_path.empty()) {
                return fail("--http-token needs a file holding the token");
            }
        } else if (a == "--reply-timeout-ms") {
            if (!number(1, 3600000, &n)) {
                return fail("--reply-timeout-ms needs milliseconds, 1 or more");
            }
            o.reply_timeout_ms = static_cast<int>(n);
        } else if (a == "--baud") {
            if (!number(0, 4000000, &n)) {
                return fail("--baud needs a line speed in baud (0: no line timing)");
            }
            o.sim_baud = static_cast<int>(n);
            baud_given = true;
        } else if (!a.empty() && a[0] == '-') {
            return fail("unknown option " + a);
        } else if (o.site_path.empty()) {
            o.site_path = a;
        } else {
            return fail("one site file at a time (got " + o.site_path + " and " + a + ")");
        }
    }
    if (baud_given && !o.simulate) {
        return fail("--baud sets the timing of simulated lines: it goes with --simulate "
                    "(a real line's speed is the device's setting)");
    }
    if (o.site_path.empty() && !o.simulate) {
        return fail("which site file? (or --simulate to try it on simulated modules)");
    }
    if (!o.http_token_path.empty() && o.http_listen.empty()) {
        return fail("--http-token goes with --http");
    }
    if (const std::string e = CheckMqttSettings(o.mqtt); !e.empty()) return fail(e);
    parsed.action = ParsedCommandLine::Action::kRun;
    return parsed;
}

}  // namespace runner
