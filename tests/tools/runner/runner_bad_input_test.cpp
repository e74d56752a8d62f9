// battery32-run given unusable input: one clear line naming what is wrong,
// and a non-zero exit when nothing can run.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "tests/tools/support/runner_process.h"
#include "tests/tools/support/test_workspace.h"
#include "tools/sim/pty_pair.h"

namespace tools_test {
namespace {

using namespace std::chrono_literals;

struct BadSite {
    const char* name;
    const char* text;
    const char* complaint;  // part of the error line
};

void PrintTo(const BadSite& c, std::ostream* os) { *os << c.name; }

class RunnerBadSite : public ::testing::TestWithParam<BadSite> {
protected:
    TempDir dir;
};

TEST_P(RunnerBadSite, NamesTheFileAndTheFault) {
    dir.Write("site.json", GetParam().text);
    RunnerProcess run({dir.File("site.json"), "--plugin", BATTERY32_PLUGIN_PATH, "--data",
                       dir.File("data"), "--time-limit", "30"});
    EXPECT_EQ(run.Wait(60s), 1) << run.Transcript();
    ASSERT_EQ(run.err().size(), 1u) << run.Transcript();
    EXPECT_TRUE(Contains(run.err()[0], dir.File("site.json"))) << run.err()[0];
    EXPECT_TRUE(Contains(run.err()[0], GetParam().complaint)) << run.err()[0];
}

// Arrays a thousand deep: the JSON reader would recurse until it aborted.
const std::string kDeepSite =
    "{\"devices\": " + std::string(1000, '[') + std::string(1000, ']') + "}";

INSTANTIATE_TEST_SUITE_P(
    Sites, RunnerBadSite,
    ::testing::Values(
        BadSite{"NotJson", "{\"devices\": [", "not JSON: line 1, column 14: Syntax error"},
        BadSite{"Empty", "", "not JSON"}, BadSite{"NotAnObject", "[1, 2]", "must be an object"},
        BadSite{"NoDevices", "{}", "devices: missing"},
        BadSite{"DevicesNotArray", "{\"devices\": {}}", "devices: must be an array"},
        BadSite{"NoDataId", R"({"devices": [{"address": 1, "port": "/dev/null"}]})",
                "devices[0].data_id: missing"},
        BadSite{"DataIdText",
                R"({"devices": [{"data_id": "x", "address": 1, "port": "/dev/null"}]})",
                "devices[0].data_id: must be an integer"},
        BadSite{"AddressTooBig",
                R"({"devices": [{"data_id": 1, "address": 256, "port": "/dev/null"}]})",
                "devices[0].address: must be an integer 0..255, got 256"},
        BadSite{"PortNumber", R"({"devices": [{"data_id": 1, "address": 1, "port": 5}]})",
                "devices[0].port: must be a string"},
        BadSite{
            "SettingsText",
            R"({"devices": [{"data_id": 1, "address": 1, "port": "/dev/null", "settings": "x"}]})",
            "devices[0].settings: must be an object"},
        BadSite{
            "AppSettingArray",
            R"({"devices": [{"data_id": 1, "address": 1, "port": "p", "settings": {"appSetting": []}}]})",
            "devices[0].settings.appSetting: must be an object"},
        BadSite{
            "DuplicateDataId",
            R"({"devices": [{"data_id": 7, "address": 1, "port": "p"}, {"data_id": 7, "address": 2, "port": "p"}]})",
            "devices[1].data_id: 7 is used by an earlier device"},
        BadSite{"NestedTooDeep", kDeepSite.c_str(), "nested deeper than 64 levels"},
        BadSite{
            "PartnerIsItself",
            R"({"devices": [{"data_id": 7, "address": 1, "port": "p", "settings": {"appSetting": {"group_voltage": ["7"]}}}]})",
            "devices[0].settings.appSetting.group_voltage[0]: 7 is the device itself"},
        BadSite{
            "PartnerMissing",
            R"({"devices": [{"data_id": 7, "address": 1, "port": "p", "settings": {"appSetting": {"group_voltage": [8]}}}]})",
            "devices[0].settings.appSetting.group_voltage[0]: 8 names no device of this site"},
        BadSite{
            "CurrentSourceMissing",
            R"({"devices": [{"data_id": 7, "address": 1, "port": "p", "settings": {"appSetting": {"r_data_id": "9"}}}]})",
            "devices[0].settings.appSetting.r_data_id: 9 names no device of this site"},
        BadSite{
            "PartnersInACycle",
            R"({"devices": [{"data_id": 7, "address": 1, "port": "p", "settings": {"appSetting": {"group_voltage": ["8"]}}},
                                {"data_id": 8, "address": 2, "port": "p", "settings": {"appSetting": {"group_voltage": ["7"]}}}]})",
            "devices[1].settings.appSetting.group_voltage: 7 -> 8 -> 7 is a cycle"}),
    [](const ::testing::TestParamInfo<BadSite>& info) { return std::string(info.param.name); });

class RunnerBadSetup : public ::testing::Test {
protected:
    void WriteSite(const std::string& port) {
        dir.Write("site.json", SiteJson({DeviceJson(1, 1, port)}));
    }
    TempDir dir;
};

// A name that is no usable file is refused at once: a FIFO is not waited on
// (with the stop signals held), a device or a huge file is not read without end.
TEST_F(RunnerBadSetup, InputThatIsNoRegularFileIsRefusedAtOnce) {
    ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
    dir.Write("huge.json", std::string(4 * 1024 * 1024 + 1, ' '));
    const struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{dir.File("fifo")}, dir.File("fifo") + ": not a regular file (a FIFO)"},
        {{"/dev/zero"}, "/dev/zero: not a regular file (a character device)"},
        {{dir.path()}, dir.path() + ": not a regular file (a directory)"},
        {{dir.File("huge.json")}, dir.File("huge.json") + ": larger than 4 MiB"},
        {{"--simulate", "--sim", "/dev/zero"}, "/dev/zero: not a regular file"},
        {{"--simulate", "--plugin", dir.File("fifo")}, "plug-in " + dir.File("fifo") + ": not a"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--plugin", BATTERY32_PLUGIN_PATH, "--data",
                                         dir.File("data")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        RunnerProcess run(args);
        EXPECT_EQ(run.Wait(10s), 1) << run.Transcript();
        ASSERT_EQ(run.err().size(), 1u) << run.Transcript();
        EXPECT_TRUE(Contains(run.err()[0], c.says)) << run.err()[0];
    }
}

TEST_F(RunnerBadSetup, MissingPluginIsNamed) {
    WriteSite("/dev/null");
    const std::string plugin = dir.File("libnothing.so");
    RunnerProcess run({dir.File("site.json"), "--plugin", plugin, "--data", dir.File("data")});
    EXPECT_EQ(run.Wait(60s), 1) << run.Transcript();
    ASSERT_EQ(run.err().size(), 1u) << run.Transcript();
    EXPECT_TRUE(Contains(run.err()[0], "plug-in " + plugin + ": no such file")) << run.err()[0];
}

TEST_F(RunnerBadSetup, LibraryThatIsNotAPluginIsNamed) {
    WriteSite("/dev/null");
    RunnerProcess run(
        {dir.File("site.json"), "--plugin", ZORHOST_LIBRARY_PATH, "--data", dir.File("data")});
    EXPECT_EQ(run.Wait(60s), 1) << run.Transcript();
    ASSERT_EQ(run.err().size(), 1u) << run.Transcript();
    EXPECT_TRUE(Contains(run.err()[0], "exports no get_providers")) << run.err()[0];
}

TEST_F(RunnerBadSetup, FileThatIsNoLibraryIsNamed) {
    WriteSite("/dev/null");
    dir.Write("fake.so", "not a library");
    RunnerProcess run(
        {dir.File("site.json"), "--plugin", dir.File("fake.so"), "--data", dir.File("data")});
    EXPECT_EQ(run.Wait(60s), 1) << run.Transcript();
    ASSERT_EQ(run.err().size(), 1u) << run.Transcript();
    EXPECT_TRUE(Contains(run.err()[0], "plug-in " + dir.File("fake.so") + ": cannot load"))
        << run.err()[0];
}

TEST_F(RunnerBadSetup, NoPortThatOpensMeansNothingToRun) {
    const std::string port = dir.File("ttyNONE");
    WriteSite(port);
    RunnerProcess run({dir.File("site.json"), "--plugin", BATTERY32_PLUGIN_PATH, "--data",
                       dir.File("data"), "--quiet-device"});
    EXPECT_EQ(run.Wait(60s), 1) << run.Transcript();
    const auto said = LinesStartingWith(run.err(), "battery32-run: port " + port + ": cannot open");
    ASSERT_EQ(said.size(), 1u) << run.Transcript();
    // Nothing is retried once the run gives up.
    EXPECT_FALSE(Contains(said[0], "retrying")) << said[0];
    EXPECT_FALSE(std::filesystem::exists(dir.File("data/device-1.history")))
        << "an empty history was left";
}

// A port that opens but cannot be used as the site file says: one line naming
// the port and what is wrong with it (the setting, where there is one).
TEST_F(RunnerBadSetup, PortThatCannotBeUsedIsNamedWithItsSetting) {
    dir.Write("plain-file", "");
    std::unique_ptr<sim::PtyPair> pty;
    try {
        pty = std::make_unique<sim::PtyPair>();
    } catch (const std::exception& e) {
        GTEST_SKIP() << "no pseudo-terminals here: " << e.what();
    }
    const struct {
        std::string port;
        std::string ports;
        std::string says;
    } cases[] = {
        {dir.File("plain-file"), "", "cannot open (not a serial line: "},
        {pty->slave_path(), "{\"" + pty->slave_path() + "\": {\"rs485\": true}}",
         "cannot use it: its driver refuses to turn RS-485 mode on (" + dir.File("site.json") +
             ": ports[\"" + pty->slave_path() + "\"].rs485: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port);
        dir.Write("site.json", SiteJson({DeviceJson(1, 1, c.port)}, c.ports));
        RunnerProcess run({dir.File("site.json"), "--plugin", BATTERY32_PLUGIN_PATH, "--data",
                           dir.File("data"), "--quiet-device"},
                          pty->descriptors());
        EXPECT_EQ(run.Wait(60s), 1) << run.Transcript();
        const auto lines = LinesStartingWith(run.err(), "battery32-run: port " + c.port + ": ");
        ASSERT_EQ(lines.size(), 1u) << run.Transcript();
        EXPECT_TRUE(Contains(lines[0], c.says)) << lines[0];
    }
}

// A device that refuses its settings is named and left out, with nothing of it
// polled or kept; alone in its site, that leaves nothing to poll.
TEST_F(RunnerBadSetup, DeviceRefusingItsSettingsIsLeftOut) {
    dir.Write("site.json", SiteJson({DeviceJson(7, 1, "/dev/null", R"({"b_mode": [1, 2]})")}));
    RunnerProcess run({dir.File("site.json"), "--plugin", BATTERY32_PLUGIN_PATH, "--data",
                       dir.File("data"), "--quiet-device"});
    EXPECT_EQ(run.Wait(60s), 1) << run.Transcript();
    ASSERT_EQ(run.err().size(), 2u) << run.Transcript();
    EXPECT_TRUE(Contains(run.err()[0], "device 7")) << run.err()[0];
    EXPECT_TRUE(Contains(run.err()[0], ": not polled: the device refused its settings: "))
        << run.err()[0];
    EXPECT_EQ(run.err()[1], "battery32-run: no device could be set up; nothing to poll");
    EXPECT_FALSE(std::filesystem::exists(dir.File("data/device-7.history")));
}

// --check says every problem a start would meet, each on a line of its own,
// and goes on past each one to the next; then exit 1, and no line saying it passed.
TEST_F(RunnerBadSetup, CheckSaysEveryProblemOnALineOfItsOwn) {
    dir.Write("site.json", SiteJson({DeviceJson(7, 1, "/dev/null", R"({"b_mode": [1, 2]})"),
                                     DeviceJson(8, 1, dir.File("no-such-port")),
                                     DeviceJson(9, 2, dir.File("no-such-port")),
                                     DeviceJson(10, 1, dir.File("site.json"))}));
    RunnerProcess run({"--check", dir.File("site.json"), "--plugin", BATTERY32_PLUGIN_PATH,
                       "--data", dir.File("site.json") + "/data", "--alarm-command",
                       "no-such-program-b32", "--device-log", dir.File("none/device.log")});
    EXPECT_EQ(run.Wait(60s), 1) << run.Transcript();
    const std::string says[] = {
        "--alarm-command no-such-program-b32: no program that can be run by that name",
        "device log " + dir.File("none/device.log") + ": cannot be written (No such file",
        "device 7: not polled: the device refused its settings: ",
        "port " + dir.File("no-such-port") +
            ": no such device (No such file or directory); "
            "used by 8, 9",
        "port " + dir.File("site.json") + ": not a serial device: a regular file; used by 10",
        "data folder " + dir.File("site.json") + "/data cannot be looked at (Not a directory)",
    };
    ASSERT_EQ(run.err().size(), std::size(says)) << run.Transcript();
    for (std::size_t i = 0; i < std::size(says); ++i) {
        EXPECT_TRUE(Contains(run.err()[i], says[i])) << run.err()[i] << "\n  expected " << says[i];
    }
    EXPECT_TRUE(run.out().empty()) << run.Transcript();
}

// A misspelt setting is said and the run (or the check) goes on; --strict
// refuses to start, and fails the check.
TEST_F(RunnerBadSetup, WarningsStopTheRunOnlyWhenStrict) {
    dir.Write("site.json",
              SiteJson({DeviceJson(7, 1, "/dev/null", R"({"b_mode": "1", "batery_type": "6"})")}));
    const std::string warning = "battery32-run: " + dir.File("site.json") +
                                ": devices[0].settings.appSetting.batery_type: unknown key, "
                                "ignored (did you mean \"battery_type\"?)";
    const std::string refused =
        "battery32-run: not started: --strict makes the warning above an error";
    const struct {
        bool check;
        bool strict;
        int status;
        std::string last_error;  // empty: the check passed and says so on stdout
    } cases[] = {
        {false, false, 1, "battery32-run: no port could be opened; nothing to poll"},
        {false, true, 1, refused},
        {true, false, 0, ""},
        {true, true, 1, warning},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {dir.File("site.json"), "--plugin",
                                         BATTERY32_PLUGIN_PATH, "--data",
                                         dir.File("data"),      "--quiet-device"};
        if (c.strict) args.push_back("--strict");
        if (c.check) args.push_back("--check");
        RunnerProcess run(args);
        EXPECT_EQ(run.Wait(60s), c.status) << run.Transcript();
        ASSERT_FALSE(run.err().empty()) << run.Transcript();
        EXPECT_EQ(run.err().front(), warning);
        if (c.last_error.empty()) {
            ASSERT_EQ(run.out().size(), 1u) << run.Transcript();
            EXPECT_TRUE(Contains(run.out()[0], "; 1 warning above (--strict refuses them)"))
                << run.out()[0];
        } else {
            EXPECT_EQ(run.err().back(), c.last_error) << run.Transcript();
        }
    }
}

TEST_F(RunnerBadSetup, AlarmCommandThatCannotRunIsNamed) {
    WriteSite("/dev/null");
    dir.Write("not-executable", "#!/bin/sh\n");
    for (const std::string& program :
         {std::string("no-such-program-b32"), dir.File("not-executable"), dir.path()}) {
        RunnerProcess run({dir.File("site.json"), "--plugin", BATTERY32_PLUGIN_PATH, "--data",
                           dir.File("data"), "--alarm-command", program});
        EXPECT_EQ(run.Wait(60s), 1) << run.Transcript();
        ASSERT_EQ(run.err().size(), 1u) << run.Transcript();
        EXPECT_TRUE(Contains(run.err()[0], "--alarm-command " + program +
                                               ": no program that can be run by that name"))
            << run.err()[0];
    }
}

TEST_F(RunnerBadSetup, UnknownOptionIsAUsageError) {
    RunnerProcess run({"--tick", "5"});
    EXPECT_EQ(run.Wait(60s), 2) << run.Transcript();
    ASSERT_EQ(run.err().size(), 1u) << run.Transcript();
    EXPECT_TRUE(Contains(run.err()[0], "unknown option --tick")) << run.err()[0];
}

#ifndef BATTERY32_HAVE_MQTT
// Built without libmosquitto (the cross build): asking to publish is refused
// at once rather than polling without the broker the user expects.
TEST_F(RunnerBadSetup, MqttInABuildWithoutItIsAUsageError) {
    RunnerProcess run({"--simulate", "--mqtt", "mqtt://127.0.0.1:1883", "--time-limit", "5"});
    EXPECT_EQ(run.Wait(60s), 2) << run.Transcript();
    ASSERT_EQ(run.err().size(), 1u) << run.Transcript();
    EXPECT_TRUE(Contains(run.err()[0], "this build has no MQTT")) << run.err()[0];
}
#endif

// Line options that cannot mean what they say are refused, not ignored: a real
// line's speed is the device's own setting, and a reply cannot arrive in no time.
TEST_F(RunnerBadSetup, LineOptionsThatCannotApplyAreUsageErrors) {
    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    for (const Case& c : {Case{{"site.json", "--baud", "9600"}, "it goes with --simulate"},
                          Case{{"--simulate", "--reply-timeout-ms", "0"},
                               "--reply-timeout-ms needs milliseconds, 1 or more"}}) {
        RunnerProcess run(c.args);
        EXPECT_EQ(run.Wait(60s), 2) << run.Transcript();
        ASSERT_EQ(run.err().size(), 1u) << run.Transcript();
        EXPECT_TRUE(Contains(run.err()[0], c.says)) << run.err()[0];
    }
}

}  // namespace
}  // namespace tools_test
