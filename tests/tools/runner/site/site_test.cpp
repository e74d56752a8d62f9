#include "tools/runner/site/site.h"

#include <gtest/gtest.h>

#include "tests/tools/support/test_workspace.h"
#include "tools/common/json_input.h"
#include "tools/runner/alarms/watched_variable.h"
#include "tools/sim/sim_config.h"

namespace runner::site {
namespace {

Site Read(const std::string& text) {
    return ReadSite(json_input::ParseText(text, "site.json"), "site.json");
}

TEST(SiteConfig, ReadsDevicesAndKeepsTheirSettings) {
    const Site site = Read(R"({"devices": [
        {"data_id": 1001, "address": "0x1F", "port": "/dev/ttyS1", "name": "A",
         "settings": {"appSetting": {"b_mode": "3",
                                     "group_voltage": ["1002", 1003, " 1002 V", "4294972310"]},
                      "thresholdSetting": {"r1": {"ID": "7"}}}},
        {"data_id": 1002, "address": 31, "port": "/dev/ttyS2", "charging_current": "negative"},
        {"data_id": 1003, "address": 30, "port": "/dev/ttyS2", "charging_current": "positive"},
        {"data_id": 4294967295, "address": 29, "port": "/dev/ttyS2"}]})");
    ASSERT_EQ(site.devices.size(), 4u);
    const SiteDevice& a = site.devices[0];
    EXPECT_EQ(a.data_id, 1001u);
    EXPECT_EQ(a.address, 0x1F);
    EXPECT_EQ(a.port, "/dev/ttyS1");
    EXPECT_EQ(DeviceLabel(a), "1001 (A)");
    // Read as the device reads them: each once, an id past 32 bits saturated, never wrapped.
    EXPECT_EQ(a.partners, (std::vector<std::uint32_t>{1002, 1003, 4294967295}));
    EXPECT_EQ(a.settings["appSetting"]["b_mode"].asString(), "3");
    EXPECT_EQ(a.settings["thresholdSetting"]["r1"]["ID"].asString(), "7");
    // The same address on another line is another module.
    EXPECT_EQ(site.devices[1].address, 31);
    EXPECT_TRUE(site.devices[1].settings.isObject());
    // Which sign of the current charges the string: positive unless said otherwise.
    EXPECT_EQ(a.charging_current, energy::ChargingCurrent::kPositive);
    EXPECT_EQ(site.devices[1].charging_current, energy::ChargingCurrent::kNegative);
    EXPECT_EQ(site.devices[2].charging_current, energy::ChargingCurrent::kPositive);
    // Every member here is one the reader knows: nothing for --strict to refuse.
    EXPECT_TRUE(site.warnings.empty()) << site.warnings.front();
    EXPECT_THROW(
        try {
            Read(R"({"devices": [{"data_id": 1, "address": 1, "port": "p",
                                  "charging_current": "in"}]})");
        } catch (const json_input::InputError& e) {
            EXPECT_STREQ(e.what(),
                         "site.json: devices[0].charging_current: must be \"positive\" "
                         "or \"negative\", got \"in\"");
            throw;
        },
        json_input::InputError);
}

TEST(SiteConfig, SameAddressTwiceOnOneLineIsRefused) {
    try {
        Read(R"({"devices": [{"data_id": 1, "address": 4, "port": "p"},
                             {"data_id": 2, "address": "0x04", "port": "p"}]})");
        FAIL() << "accepted";
    } catch (const json_input::InputError& e) {
        EXPECT_STREQ(e.what(),
                     "site.json: devices[1].address: 4 is used by an earlier device on p");
    }
}

TEST(SiteConfig, PartnersTheDeviceCannotReadAreRefused) {
    const struct {
        const char* app;
        const char* error;
    } cases[] = {
        {R"({"group_voltage": "2"})",
         "site.json: devices[0].settings.appSetting.group_voltage: must be an array, got a string"},
        {R"({"group_voltage": [{}]})",
         "site.json: devices[0].settings.appSetting.group_voltage[0]: must be a data id, got an "
         "object"},
        {R"({"r_data_id": ["2"]})",
         "site.json: devices[0].settings.appSetting.r_data_id: must be a data id, got an array"},
    };
    for (const auto& c : cases) {
        try {
            Read(std::string(R"({"devices": [{"data_id": 1, "address": 1, "port": "p",
                                              "settings": {"appSetting": )") +
                 c.app + R"(}}, {"data_id": 2, "address": 2, "port": "p"}]})");
            ADD_FAILURE() << "accepted " << c.app;
        } catch (const json_input::InputError& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
    }
}

// Ports: echo forced or found out, RS-485 mode on with its details or off.
TEST(SiteConfig, ReadsEachPortsEchoAndRs485Mode) {
    const Site site = Read(R"({"devices": [
        {"data_id": 1, "address": 1, "port": "/dev/a"}, {"data_id": 2, "address": 1, "port": "/dev/b"},
        {"data_id": 3, "address": 1, "port": "/dev/c"}, {"data_id": 4, "address": 1, "port": "/dev/d"}],
      "ports": {"/dev/a": {"echo": true, "rs485": true},
                "/dev/b": {"echo": false, "rs485": {"rts_while_sending": "low",
                           "rts_after_sending": "high", "delay_before_send_ms": 2,
                           "delay_after_send_ms": "0x64", "receive_while_sending": true}},
                "/dev/c": {"echo": "auto", "rs485": false}}})");
    ASSERT_EQ(site.ports.size(), 3u);
    const line::PortSettings& a = site.ports.at("/dev/a");
    EXPECT_EQ(a.echo, line::EchoMode::kOn);
    ASSERT_TRUE(a.rs485);
    EXPECT_EQ(line::Rs485Text(*a.rs485),
              "RS-485 mode on (RTS high while sending, low after, 0 ms before and 0 ms after)");
    EXPECT_EQ(a.origin, "site.json: ports[\"/dev/a\"]");
    const line::PortSettings& b = site.ports.at("/dev/b");
    EXPECT_EQ(b.echo, line::EchoMode::kOff);
    ASSERT_TRUE(b.rs485);
    EXPECT_EQ(line::Rs485Text(*b.rs485),
              "RS-485 mode on (RTS low while sending, high after, 2 ms before and 100 ms after, "
              "receiving while sending)");
    const line::PortSettings& c = site.ports.at("/dev/c");
    EXPECT_EQ(c.echo, line::EchoMode::kAuto);
    ASSERT_TRUE(c.rs485);
    EXPECT_EQ(line::Rs485Text(*c.rs485), "RS-485 mode off");
    EXPECT_FALSE(site.ports.count("/dev/d")) << "a port not named keeps the defaults";
}

TEST(SiteConfig, PortSettingsThatCannotBeMeantAreRefused) {
    const struct {
        const char* ports;
        const char* error;
    } cases[] = {
        {R"([])", "site.json: ports: must be an object, got an array"},
        {R"({"p": 1})", "site.json: ports[\"p\"]: must be an object, got an integer"},
        {R"({"/dev/ttyS9": {}})",
         "site.json: ports[\"/dev/ttyS9\"]: no device of this site is on this port"},
        {R"({"p": {"echos": true}})",
         "site.json: ports[\"p\"].echos: not a setting here (echo, rs485)"},
        {R"({"p": {"echo": "yes"}})",
         "site.json: ports[\"p\"].echo: must be true, false or \"auto\", got a string"},
        {R"({"p": {"rs485": "on"}})",
         "site.json: ports[\"p\"].rs485: must be true, false or an object, got a string"},
        {R"({"p": {"rs485": {"rts_on_send": "high"}}})",
         "site.json: ports[\"p\"].rs485.rts_on_send: not a setting here (rts_while_sending, "
         "rts_after_sending, delay_before_send_ms, delay_after_send_ms, receive_while_sending)"},
        {R"({"p": {"rs485": {"rts_after_sending": "up"}}})",
         "site.json: ports[\"p\"].rs485.rts_after_sending: must be \"high\" or \"low\", got "
         "\"up\""},
        {R"({"p": {"rs485": {"delay_before_send_ms": 101}}})",
         "site.json: ports[\"p\"].rs485.delay_before_send_ms: must be an integer 0..100, got 101"},
        {R"({"p": {"rs485": {"receive_while_sending": 1}}})",
         "site.json: ports[\"p\"].rs485.receive_while_sending: must be true or false, got an "
         "integer"},
    };
    for (const auto& c : cases) {
        try {
            Read(std::string(
                     R"({"devices": [{"data_id": 1, "address": 1, "port": "p"}], "ports": )") +
                 c.ports + "}");
            ADD_FAILURE() << "accepted " << c.ports;
        } catch (const json_input::InputError& e) {
            EXPECT_STREQ(e.what(), c.error);
        }
    }
}

// What is misspelt or would be read as 0 is named, with the key most likely
// meant; the site and the simulated modules are read all the same, unless the
// misspelling leaves a required member missing.
TEST(SiteConfig, TyposAreNamedWithTheKeyMeant) {
    const std::string device = R"({"data_id": 1, "address": 1, "port": "p")";
    const std::string at = "site.json: devices[0]";
    const struct {
        std::string site;  // or, starting "sim:", the simulated modules
        std::vector<std::string> warnings;
        std::string error = "";
    } cases[] = {
        {device + R"(, "settings": {"appSetting": {"batery_type": "6"}}})",
         {at + ".settings.appSetting.batery_type: unknown key, ignored (did you mean "
               "\"battery_type\"?)"}},
        {device + R"(, "settings": {"appSettings": {"battery_type": "6"}}})",
         {at + ".settings.appSettings: unknown key, ignored (did you mean \"appSetting\"?)"}},
        {device + R"(, "settings": {"appSetting": {"battery_type": "six", "b_mode": true,
                                    "group_a": " -.5x", "active_batteries": [3, "x"]}}})",
         {at + ".settings.appSetting.b_mode: true is no number; the device reads it as 0",
          at + ".settings.appSetting.battery_type: \"six\" is no number; the device reads it as 0",
          at + ".settings.appSetting.active_batteries[1]: \"x\" is no number; the device reads "
               "it as 0"}},
        {device +
             R"(, "settings": {"thresholdSetting": {"r": {"SignalName": "x", "wacth": "t"}}}})",
         {at + ".settings.thresholdSetting.r.wacth: unknown key, ignored (did you mean "
               "\"watch\"?)"}},
        {device + R"(, "nmae": "A", "note": "spare"})",
         {at + ".nmae: unknown key, ignored (did you mean \"name\"?)",
          at + ".note: unknown key, ignored"}},
        {R"({"data_id": 1, "adress": 1, "port": "p"})",
         {},
         at + ".adress: unknown key (did you mean \"address\"? address is missing)"},
        {R"(sim:{"modules": [{"address": 1, "curent": 2.5}]})",
         {"sim.json: modules[0].curent: unknown key, ignored (did you mean \"current\"?)"}},
    };
    const tools_test::TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.site);
        try {
            std::vector<std::string> warnings;
            if (c.site.rfind("sim:", 0) == 0) {
                dir.Write("sim.json", c.site.substr(4));
                warnings = sim::ReadSimConfigFile(dir.File("sim.json")).warnings;
                for (std::string& w : warnings) w.erase(0, dir.path().size() + 1);
            } else {
                warnings = Read(R"({"devices": [)" + c.site + "]}").warnings;
            }
            EXPECT_EQ(warnings, c.warnings);
            EXPECT_EQ(c.error, "");
        } catch (const json_input::InputError& e) {
            EXPECT_EQ(e.what(), c.error);
        }
    }
}

TEST(SiteConfig, DataIdMustFitThirtyTwoBits) {
    EXPECT_NO_THROW(Read(R"({"devices": [{"data_id": 4294967295, "address": 1, "port": "p"}]})"));
    EXPECT_THROW(Read(R"({"devices": [{"data_id": 4294967296, "address": 1, "port": "p"}]})"),
                 json_input::InputError);
    EXPECT_THROW(Read(R"({"devices": [{"data_id": 0, "address": 1, "port": "p"}]})"),
                 json_input::InputError);
}

// Text quoted from the file back into a message never breaks its one line.
TEST(SiteConfig, ControlCharactersQuotedInAMessageAreEscaped) {
    try {
        Read("{\"devices\": [{\"data_id\": 1, \"address\": \"0x01\\n\\u0000\", \"port\": \"p\"}]}");
        FAIL() << "accepted";
    } catch (const json_input::InputError& e) {
        EXPECT_EQ(std::string(e.what()),
                  "site.json: devices[0].address: must be an integer 0..255, got \"0x01\\n\\x00\"");
    }
}

Site WithRules(const std::string& rules, const std::string& top = "") {
    return Read("{" + top + R"("devices": [{"data_id": 1, "address": 1, "port": "p",
                               "settings": {"thresholdSetting": )" +
                rules + "}}]}");
}

// The host's fields beside the device's own: read whole, with the defaults,
// and the alarm code composed as the device composes it. A rule without them
// is the device's alone.
TEST(SiteAlarmRules, ReadsTheHostsFieldsBesideTheDevicesOwn) {
    const Site site = WithRules(R"({
        "low": {"NMAlarmID": "12", "ID": 3, "watch": "battery_*_value", "below": 12,
                "clear": 12.5, "level": 2, "delay_s": 1.5},
        "hot": {"SignalNumber": "7", "watch": "temperature", "above": 45.5, "level": 3},
        "devices_own": {"SignalName": "x", "NMAlarmID": "1"},
        "not_an_object": 5})",
                                R"("lost_communication_level": 0, )");
    EXPECT_EQ(site.lost_communication_level, 0);
    const auto& rules = site.devices[0].alarm_rules;
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0].key, "hot");  // member order, as the device reads them
    EXPECT_EQ(rules[0].variable, alarms::kTemperature);
    EXPECT_TRUE(rules[0].above);
    EXPECT_EQ(rules[0].limit, 45.5f);
    EXPECT_EQ(rules[0].clear, 45.5f);
    EXPECT_EQ(rules[0].level, 3);
    EXPECT_EQ(rules[0].delay.count(), 0);
    EXPECT_EQ(rules[0].code, ";;7;");
    EXPECT_EQ(rules[1].variable, alarms::kEveryCell);
    EXPECT_FALSE(rules[1].above);
    EXPECT_EQ(rules[1].clear, 12.5f);
    EXPECT_EQ(rules[1].delay.count(), 1500);
    EXPECT_EQ(rules[1].code, "12;3;;");
    EXPECT_EQ(WithRules("{}").lost_communication_level, 2);
}

TEST(SiteAlarmRules, BadRulesAreOneLineNamingTheMember) {
    const std::string at = "site.json: devices[0].settings.thresholdSetting.r";
    const struct {
        const char* rule;
        std::string error = "";
    } cases[] = {
        {R"({"below": 12, "level": 1})", at + ".watch: missing"},
        {R"({"watch": "battery_32_value", "below": 12, "level": 1})",
         at + ".watch: must be group_voltage, group_current, temperature, battery_<0..31>_value "
              "or battery_*_value, got \"battery_32_value\""},
        {R"({"watch": "temperature", "level": 1})", at + ": needs a limit, \"above\" or \"below\""},
        {R"({"watch": "temperature", "above": 1, "below": 0, "level": 1})",
         at + ": give \"above\" or \"below\", not both"},
        {R"({"watch": "temperature", "above": "45", "level": 1})",
         at + ".above: must be a number, got a string"},
        {R"({"watch": "temperature", "above": 1e39, "level": 1})",
         at + ".above: must be a finite number"},
        {R"({"watch": "temperature", "above": 45, "clear": 46, "level": 1})",
         at + ".clear: 46 is above the limit 45; it must lie on the normal side"},
        {R"({"watch": "group_voltage", "below": 40, "clear": 39.5, "level": 1})",
         at + ".clear: 39.5 is below the limit 40; it must lie on the normal side"},
        {R"({"watch": "temperature", "above": 45})", at + ".level: missing"},
        {R"({"watch": "temperature", "above": 45, "level": 4})",
         at + ".level: must be an integer 1..3, got 4"},
        {R"({"watch": "temperature", "above": 45, "level": 1, "delay_s": -1})",
         at + ".delay_s: must be 0..86400 seconds"},
        {R"({"watch": "temperature", "above": 45, "level": 1, "ID": [1]})",
         at + ".ID: must be a text or a number, got an array"},
    };
    for (const auto& c : cases) {
        try {
            WithRules(std::string(R"({"r": )") + c.rule + "}");
            ADD_FAILURE() << "accepted " << c.rule;
        } catch (const json_input::InputError& e) {
            EXPECT_EQ(e.what(), c.error);
        }
    }
    EXPECT_THROW(WithRules("{}", R"("lost_communication_level": 4, )"), json_input::InputError);
}

}  // namespace
}  // namespace runner::site
