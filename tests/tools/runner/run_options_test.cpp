// battery32-run's options at the edges of their ranges, with the exact
// message for each refusal.

#include "tools/runner/run_options.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>

namespace tools_test {
namespace {

using runner::ParseCommandLine;
using Action = runner::ParsedCommandLine::Action;

TEST(RunnerCommandLine, RefusesWithOneClearMessage) {
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--tick", "5", "s"}, "unknown option --tick"},  // no abbreviations
        {{"s", "--tick"}, "unknown option --tick"},       // not even when refused
        {{"--js=1", "s"}, "unknown option --js=1"},
        {{"s", "-x"}, "unknown option -x"},
        {{"--site", "s"}, "unknown option --site"},
        {{"--json=1", "s"}, "--json takes no value"},
        {{"s", "--sim"}, "--sim needs a file"},
        {{"--tick-ms", "3600001", "s"},
         "--tick-ms needs a number of milliseconds (0: back to back)"},
        {{"--rounds", "0", "s"}, "--rounds needs a positive number"},
        {{"--time-limit", "0", "s"}, "--time-limit needs a positive number of seconds"},
        {{"--data", "", "s"}, "--data needs a directory"},
        {{"--device-log", "", "s"}, "--device-log needs stdout, stderr, off or a file"},
        {{"--cache-every", "86401", "s"}, "--cache-every needs seconds, 0..86400"},
        {{"--gap-us", "99", "s"}, "--gap-us needs microseconds, 100 or more"},
        {{"--reopen-ms", "9", "s"}, "--reopen-ms needs milliseconds, 10 or more"},
        {{"--reply-timeout-ms", "0", "s"}, "--reply-timeout-ms needs milliseconds, 1 or more"},
        {{"--simulate", "--baud", "4000001"},
         "--baud needs a line speed in baud (0: no line timing)"},
        {{"--http-token", "", "--http", "1", "s"}, "--http-token needs a file holding the token"},
        {{"a", "b"}, "one site file at a time (got a and b)"},
        {{"--json"}, "which site file? (or --simulate to try it on simulated modules)"},
        {{"--http-token", "t", "s"}, "--http-token goes with --http"},
        {{"--mqtt", "mqtt://b:0", "s"}, "--mqtt mqtt://b:0: has port 0, not 1..65535"},
        {{"--mqtt", "mqtt://b", "--mqtt-prefix", "/a", "s"},
         "--mqtt-prefix /a: a topic prefix without + or # and without a leading or trailing /"},
        {{"--mqtt", "mqtt://b", "--mqtt-prefix", "$SYS/gw", "s"},
         "--mqtt-prefix $SYS/gw: must not start with $ (brokers keep $ topics to themselves: no "
         "subscriber would see the rounds)"},
        {{"--mqtt", "mqtt://b", "--mqtt-prefix", "site\x01a", "s"},
         "--mqtt-prefix: UTF-8 text without control characters only"},
        {{"--mqtt", "mqtt://b", "--mqtt-discovery-prefix", "ha\x7f", "s"},
         "--mqtt-discovery-prefix: UTF-8 text without control characters only"},
        {{"--mqtt", "mqtt://b", "--mqtt-prefix", "site\xc2\x85", "s"},  // a C1 control
         "--mqtt-prefix: UTF-8 text without control characters only"},
        {{"--mqtt", "mqtt://b", "--mqtt-prefix", "caf\xe9", "s"},  // Latin-1, not UTF-8
         "--mqtt-prefix: UTF-8 text without control characters only"},
        {{"--mqtt", "mqtt://b", "--mqtt-prefix", "\xed\xa0\x80", "s"},  // a surrogate
         "--mqtt-prefix: UTF-8 text without control characters only"},
        {{"--mqtt", "mqtt://b", "--mqtt-prefix", "\xc0\xaf", "s"},  // overlong "/"
         "--mqtt-prefix: UTF-8 text without control characters only"},
        {{"--mqtt", "mqtt://b", "--mqtt-prefix", std::string(257, 'p'), "s"},
         "--mqtt-prefix: at most 256 bytes, got 257"},
        {{"--mqtt", "mqtt://b", "--mqtt-discovery-prefix", "", "s"},
         "--mqtt-discovery-prefix needs a topic prefix"},
        {{"--mqtt", "mqtt://b", "--mqtt-queue", "10000001", "s"},
         "--mqtt-queue needs a number of rounds per device, 1..10000000"},
        {{"--mqtt-credentials", "c", "s"}, "the --mqtt-... options need --mqtt URL"},
        {{"--mqtt-queue", "5", "s"}, "the --mqtt-... options need --mqtt URL"},
        {{"--mqtt", "mqtt://b", "--mqtt-cafile", "ca", "s"}, "--mqtt-cafile needs an mqtts:// URL"},
        {{"--alarm-timeout", "5", "s"}, "--alarm-timeout goes with --alarm-command"},
        {{"--alarm-command", "", "s"}, "--alarm-command needs a program"},
        {{"--silent-after", "0", "s"}, "--silent-after needs a positive number of seconds"},
        {{"-q", "-v", "s"},
         "--verbose counts the checks on the round lines, which --quiet leaves out"},
    };
    for (const auto& c : cases) {
        const auto parsed = ParseCommandLine(c.args);
        EXPECT_EQ(parsed.action, Action::kError) << c.error;
        EXPECT_EQ(parsed.error, c.error);
    }
}

TEST(RunnerCommandLine, TakesEveryFormAndRangeEnd) {
    using runner::RunOptions;
    const struct {
        std::vector<std::string> args;
        std::function<bool(const RunOptions&)> holds;
    } cases[] = {
        {{"s", "--tick-ms", "0"}, [](const RunOptions& o) { return o.tick_ms == 0; }},
        {{"--tick-ms=3600000", "s"}, [](const RunOptions& o) { return o.tick_ms == 3600000; }},
        {{"s", "--rounds", "9223372036854775807"},
         [](const RunOptions& o) { return o.rounds == INT64_MAX; }},
        {{"s", "--time-limit", "1e7"}, [](const RunOptions& o) { return o.time_limit_s == 1e7; }},
        {{"s", "--gap-us", "100", "--reopen-ms", "10", "--reply-timeout-ms", "1"},
         [](const RunOptions& o) {
             return o.gap_us == 100 && o.reopen_ms == 10 && o.reply_timeout_ms == 1;
         }},
        {{"--simulate", "--baud", "0"}, [](const RunOptions& o) { return o.sim_baud == 0; }},
        {{"-v", "--quiet-device", "--no-cache", "--no-history", "s"},
         [](const RunOptions& o) {
             return o.verbose && o.device_log == "off" && !o.use_cache && !o.history && !o.quiet &&
                    !o.strict;
         }},
        {{"-q", "--strict", "s"}, [](const RunOptions& o) { return o.quiet && o.strict; }},
        {{"--", "-site.json"}, [](const RunOptions& o) { return o.site_path == "-site.json"; }},
        {{"--sim", "--json", "--simulate"},  // a value may start with '-'
         [](const RunOptions& o) { return o.sim_path == "--json" && !o.json; }},
        {{"s", "--silent-after", "1.5", "--alarm-command", "notify", "--alarm-timeout", "0.5"},
         [](const RunOptions& o) {
             return runner::SilencePeriod(o) == std::chrono::milliseconds(1500) &&
                    o.alarm_command == "notify" && o.alarm_timeout_s == 0.5;
         }},
        {{"s", "--tick-ms", "5000"},
         [](const RunOptions& o) { return runner::SilencePeriod(o) == std::chrono::seconds(15); }},
        {{"s", "--mqtt", "mqtt://b", "--mqtt-prefix",
          "st\xc3\xa4tte/\xe2\x82\xac" + std::string(245, 'p')},
         [](const RunOptions& o) { return o.mqtt.prefix.size() == 256; }},  // UTF-8, at the limit
        {{"s", "--mqtt", "mqtts://[::1]", "--mqtt-queue", "10000000"},
         [](const RunOptions& o) {
             return o.mqtt.host == "::1" && o.mqtt.port == 8883 &&
                    o.mqtt.queue_per_device == 10000000;
         }},
    };
    for (const auto& c : cases) {
        const auto parsed = ParseCommandLine(c.args);
        ASSERT_EQ(parsed.action, Action::kRun) << c.args[0] << ": " << parsed.error;
        EXPECT_TRUE(c.holds(parsed.run)) << c.args[0] << " " << c.args[1];
    }
    // --help and --version end the reading: what follows them is not judged.
    EXPECT_EQ(ParseCommandLine({"s", "--help", "--bogus"}).action, Action::kHelp);
    EXPECT_EQ(ParseCommandLine({"--version", "--bogus"}).action, Action::kVersion);
}

// The README's usage lines are the ones --help prints.
TEST(RunnerCommandLine, UsageAgreesWithTheReadme) {
    std::ifstream readme(BATTERY32_SOURCE_DIR "/README.md");
    ASSERT_TRUE(readme) << "no README.md";
    std::vector<std::string> documented;
    bool in_options = false;
    for (std::string line; std::getline(readme, line);) {
        if (line.rfind("### ", 0) == 0) in_options = line == "### Options";
        if (in_options && line.rfind("    battery32-run ", 0) == 0)
            documented.push_back(line.substr(4));
    }
    std::vector<std::string> usage;
    std::istringstream help(runner::UsageText());
    for (std::string line; std::getline(help, line);) {
        const std::size_t at = line.find("battery32-run ");
        if (line.rfind("usage: ", 0) != 0 && line.rfind("       battery32-run", 0) != 0) break;
        usage.push_back(line.substr(at));
    }
    EXPECT_EQ(documented, usage);
}

}  // namespace
}  // namespace tools_test
