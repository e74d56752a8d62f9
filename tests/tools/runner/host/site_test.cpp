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
