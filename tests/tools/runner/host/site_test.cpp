#include "tools/runner/host/site.h"

#include <gtest/gtest.h>

#include "tools/common/json_input.h"

namespace runner::host {
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
        {"data_id": 1002, "address": 31, "port": "/dev/ttyS2"},
        {"data_id": 1003, "address": 30, "port": "/dev/ttyS2"},
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

}  // namespace
}  // namespace runner::host
