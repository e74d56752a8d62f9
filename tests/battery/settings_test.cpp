// Link settings under "appSetting": keys, conversions, presets and order.

#include <gtest/gtest.h>
#include <json/json.h>
#include <json/value.h>

#include <climits>
#include <cstring>
#include <functional>
#include <vector>

#include "battery32/battery32.h"
#include "tests/support/cout_capture.h"
#include "tests/support/device_driver.h"

namespace {

using test_support::ParseJson;

std::unique_ptr<Battery32> Apply(const std::string& settings_json, std::uint8_t addr = 0x05) {
    test_support::CoutCapture quiet;
    return test_support::MakeDevice(7, addr, ParseJson(settings_json));
}

TEST(LinkSettings, DefaultsAfterConstruction) {
    Battery32 d;
    EXPECT_EQ(d.pending_cmd_, 0);
    EXPECT_EQ(d.version_, 1);
    EXPECT_EQ(d.dir_, 0);
    EXPECT_EQ(d.retry_count_, 0);
    EXPECT_EQ(d.group_voltage_, 0.0f);
    EXPECT_EQ(d.group_current_, 0.0f);
    EXPECT_EQ(d.temperature_, 0.0f);
    EXPECT_EQ(d.battery_type_, 0);
    EXPECT_EQ(d.group_a_, 1.0f);
    EXPECT_EQ(d.group_b_, 0.0f);
    EXPECT_EQ(d.battery_adjust_, 0.0f);
    EXPECT_TRUE(d.active_batteries_.empty());
    EXPECT_TRUE(d.group_voltage_ids_.empty());
    EXPECT_TRUE(d.group_voltage_valid_);
    EXPECT_EQ(d.battery_start_, 0);
    EXPECT_EQ(d.current_ratio_, 0);
    EXPECT_EQ(d.r_data_id_, 0);
    EXPECT_EQ(d.r_current_field_, "");
    EXPECT_EQ(d.save_interval_, 28800);
    EXPECT_EQ(d.t0_, 0.0f);
    EXPECT_EQ(d.t31_, 0.0f);
    EXPECT_EQ(d.baud_rate_, 19200);
}

TEST(LinkSettings, AddressTopBitIsInvertedOnEveryCall) {
    struct Case {
        std::uint8_t host, wire;
    };
    for (const Case c : {Case{0x05, 0x85}, Case{0x01, 0x81}, Case{0x81, 0x01}, Case{0x00, 0x80},
                         Case{0xFF, 0x7F}}) {
        auto d = Apply("{}", c.host);
        EXPECT_EQ(d->addr_, c.wire);
        EXPECT_EQ(d->InitSetting(Json::Value()), 1);
        EXPECT_EQ(d->addr_, c.host);
    }
}

TEST(LinkSettings, AbsentOrNonObjectAppSettingChangesNothingButTheAddress) {
    for (const char* settings : {"{}", R"({"appSetting": null})", R"({"appSetting": "x"})",
                                 R"({"appSetting": [1, 2]})", R"({"appSetting": 5})"}) {
        SCOPED_TRACE(settings);
        auto d = Apply(settings);
        EXPECT_EQ(d->addr_, 0x85);
        EXPECT_EQ(d->version_, 1);
        EXPECT_EQ(d->save_interval_, 28800);
        EXPECT_EQ(d->group_a_, 1.0f);
    }
}

TEST(LinkSettings, ScalarKeysAndTheirConversions) {
    struct Case {
        const char* app;
        std::function<void(const Battery32&)> check;
    };
    const Case cases[] = {
        {R"("dir": null)", [](const Battery32& d) { EXPECT_EQ(d.dir_, 0); }},
        {R"("dir": 1)", [](const Battery32& d) { EXPECT_EQ(d.dir_, 1); }},
        {R"("save_interval": 10)", [](const Battery32& d) { EXPECT_EQ(d.save_interval_, 600); }},
        {R"("save_interval": 0)", [](const Battery32& d) { EXPECT_EQ(d.save_interval_, 28800); }},
        {R"("save_interval": "-5")",
         [](const Battery32& d) { EXPECT_EQ(d.save_interval_, 28800); }},
        {R"("save_interval": "abc")",
         [](const Battery32& d) { EXPECT_EQ(d.save_interval_, 28800); }},
        {R"("save_interval": 99999999999)",
         [](const Battery32& d) { EXPECT_EQ(d.save_interval_, INT_MAX); }},
        {R"("battery_type": "6.9")", [](const Battery32& d) { EXPECT_EQ(d.battery_type_, 6); }},
        {R"("battery_type": 12)", [](const Battery32& d) { EXPECT_EQ(d.battery_type_, 12); }},
        {R"("battery_type": 1e20)",
         [](const Battery32& d) { EXPECT_EQ(d.battery_type_, INT_MAX); }},
        {R"("current_ratio": 0.5)", [](const Battery32& d) { EXPECT_EQ(d.current_ratio_, 0); }},
        {R"("current_ratio": -1)", [](const Battery32& d) { EXPECT_EQ(d.current_ratio_, -1); }},
        {R"("version": "2")", [](const Battery32& d) { EXPECT_EQ(d.version_, 2); }},
        {R"("version": 2)", [](const Battery32& d) { EXPECT_EQ(d.version_, 2); }},
        {R"("version": true)", [](const Battery32& d) { EXPECT_EQ(d.version_, 0); }},
        {R"("group_a": 1.5, "group_b": "-2.25", "battery_adjust": "0.1xyz")",
         [](const Battery32& d) {
             EXPECT_EQ(d.group_a_, 1.5f);
             EXPECT_EQ(d.group_b_, -2.25f);
             EXPECT_EQ(d.battery_adjust_, 0.1f);
         }},
        {R"("t0": 0.25, "t31": "-0.5")",
         [](const Battery32& d) {
             EXPECT_EQ(d.t0_, 0.25f);
             EXPECT_EQ(d.t31_, -0.5f);
         }},
        {R"("r_data_id": "12abc", "r_current_field": 42)",
         [](const Battery32& d) {
             EXPECT_EQ(d.r_data_id_, 12);
             EXPECT_EQ(d.r_current_field_, "42");
         }},
        {R"("r_current_field": "group_current")",
         [](const Battery32& d) {
             EXPECT_EQ(d.r_data_id_, 0);
             EXPECT_EQ(d.r_current_field_, "group_current");
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.app);
        auto d = Apply(std::string(R"({"appSetting": {)") + c.app + "}}");
        c.check(*d);
    }
}

TEST(LinkSettings, CellGroupPresetsAndActiveBatteries) {
    struct Case {
        const char* app;
        int start;
        std::vector<int> active;
    };
    const Case cases[] = {
        {R"("group_index": 2, "amount": 3)", 17, {0, 1, 2}},
        {R"("group_index": 1, "amount": 2)", 0, {0, 1}},
        {R"("group_index": 2, "amount": 3, "active_batteries": [2, "5", 5])", 17, {0, 1, 2, 5}},
        {R"("group_index": 2, "amount": 3, "active_batteries": [2, "5", 5], "battery_start": 20)",
         20,
         {0, 1, 2, 5}},
        {R"("group_index": 1)", 0, {}},
        // Group 2 alone would move the start to 17 if the preset applied without "amount".
        {R"("group_index": 2)", 0, {}},
        {R"("amount": 4)", 0, {}},
        {R"("group_index": 3, "amount": 8)", 0, {}},
        {R"("group_index": 2, "amount": 0)", 17, {}},
        {R"("group_index": 2, "amount": -4)", 17, {}},
        {R"("active_batteries": [-1, 40, null, "x", 7, 7])", 0, {-1, 40, 0, 7}},
        {R"("active_batteries": 5)", 0, {}},
        // Only 32 cells can ever be checked: a huge amount must not exhaust memory.
        {R"("group_index": 1, "amount": 2147483647)",
         0,
         {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
          16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.app);
        auto d = Apply(std::string(R"({"appSetting": {)") + c.app + "}}");
        EXPECT_EQ(d->battery_start_, c.start);
        EXPECT_EQ(d->active_batteries_, c.active);
    }
}

TEST(LinkSettings, PartnerIdsAreDistinctAndTakenAsUnsigned32Bit) {
    // Beyond the 32-bit range an id saturates: 4294972310 must not wrap onto 5014.
    auto d = Apply(R"({"appSetting": {"group_voltage": [5014, "5014", 5015, "-1", "4294967296",
                                                          "4294972310", "4294967295", "0",
                                                          "-99999999999", "-2147483648"]}})");
    EXPECT_EQ(d->group_voltage_ids_,
              (std::vector<std::uint32_t>{5014, 5015, 0xFFFFFFFFu, 0u, 0x80000000u}));
}

TEST(LinkSettings, OwnDataIdIsNoPartnerAndIsReportedOnce) {
    auto d = std::make_unique<Battery32>();
    d->data_id_ = 7;
    test_support::CoutCapture capture;
    d->InitSetting(ParseJson(R"({"appSetting": {"group_voltage": [5014, 7, "7", "0007", 5015]}})"));
    EXPECT_EQ(d->group_voltage_ids_, (std::vector<std::uint32_t>{5014, 5015}));
    EXPECT_EQ(capture.Take(), "InitSetting 7 group_voltage skips 7: the device's own data id\n");
}

TEST(LinkSettings, SecondCallActsOnTheCurrentState) {
    auto d = Apply(R"({"appSetting": {"group_index": 1, "amount": 2, "version": 2,
                                      "group_voltage": [9]}})");
    {
        test_support::CoutCapture quiet;
        d->InitSetting(ParseJson(R"({"appSetting": {"group_index": 1, "amount": 2,
                                                    "group_voltage": [9, 10]}})"));
    }
    EXPECT_EQ(d->active_batteries_, (std::vector<int>{0, 1, 0, 1}));
    EXPECT_EQ(d->group_voltage_ids_, (std::vector<std::uint32_t>{9, 10}));
    EXPECT_EQ(d->version_, 2);  // absent the second time: kept
    EXPECT_EQ(d->addr_, 0x05);  // back at the host's value
}

TEST(LinkSettings, JsonTypeErrorsPassToTheCallerAfterEarlierKeys) {
    auto d = std::make_unique<Battery32>();
    d->addr_ = 0x05;
    const Json::Value settings =
        ParseJson(R"({"appSetting": {"battery_type": 6, "group_a": [1, 2]}})");
    {
        test_support::CoutCapture quiet;
        EXPECT_ANY_THROW(d->InitSetting(settings));
    }
    EXPECT_EQ(d->battery_type_, 6);
    EXPECT_EQ(d->group_a_, 1.0f);
    EXPECT_EQ(d->addr_, 0x85);

    // "amount" is read whenever "group_index" is, whatever the group.
    auto f = std::make_unique<Battery32>();
    {
        test_support::CoutCapture quiet;
        EXPECT_THROW(f->InitSetting(ParseJson(
                         R"({"appSetting": {"version": 2, "group_index": 3, "amount": [1]}})")),
                     Json::LogicError);
    }
    EXPECT_EQ(f->version_, 2);
    // Without "group_index", "amount" is never read at all (and no preset applies).
    for (const char* app : {R"({"amount": [1]})", R"({"group_index": null, "amount": {}})"}) {
        SCOPED_TRACE(app);
        auto g = std::make_unique<Battery32>();
        {
            test_support::CoutCapture quiet;
            EXPECT_NO_THROW(
                g->InitSetting(ParseJson(std::string(R"({"appSetting": )") + app + "}")));
        }
        EXPECT_TRUE(g->active_batteries_.empty());
        EXPECT_EQ(g->battery_start_, 0);
    }

    // Settings that are not an object fail at the first lookup, before the
    // address is touched.
    auto e = std::make_unique<Battery32>();
    e->addr_ = 0x05;
    {
        test_support::CoutCapture quiet;
        EXPECT_THROW(e->InitSetting(ParseJson("[1, 2]")), Json::LogicError);
    }
    EXPECT_EQ(e->addr_, 0x05);
}

TEST(LinkSettings, OversizedArraysAreIgnoredWholeAndReported) {
    Json::Value settings;
    Json::Value& ids = settings["appSetting"]["active_batteries"];
    for (int i = 0; i < 65536; ++i) ids.append(i % 40);
    Json::Value& partners = settings["appSetting"]["group_voltage"];
    for (int i = 0; i < 65535; ++i) partners.append(i);  // the largest accepted size

    Battery32 d;
    d.data_id_ = 70000;  // not among the partners
    test_support::CoutCapture capture;
    d.InitSetting(settings);
    const std::string out = capture.Take();
    EXPECT_TRUE(d.active_batteries_.empty());
    EXPECT_EQ(d.group_voltage_ids_.size(), 65535u);
    EXPECT_NE(out.find("active_batteries ignored: 65536 elements"), std::string::npos) << out;
}

TEST(DeviceIoControl, SaveIntervalInMinutes) {
    struct Case {
        int code;
        std::uint16_t minutes;
        int expected;
        int result;
    };
    const Case cases[] = {{100, 0, 28800, 0},
                          {100, 15, 900, 0},
                          {100, 65535, 3932100, 0},
                          {101, 15, 1234, 0},
                          {0, 15, 1234, 0}};
    for (const auto& c : cases) {
        Battery32 d;
        d.save_interval_ = 1234;
        int returned = -7;
        EXPECT_EQ(d.DeviceIoControl(c.code, &c.minutes, 2, nullptr, 0, returned), c.result);
        EXPECT_EQ(d.save_interval_, c.code == 100 ? c.expected : 1234);
        EXPECT_EQ(returned, -7);
    }
}

TEST(DeviceIoControl, NullOrShortInputChangesNothing) {
    Battery32 d;
    d.save_interval_ = 1234;
    int returned = 0;
    const std::uint16_t minutes = 15;
    EXPECT_EQ(d.DeviceIoControl(100, nullptr, 2, nullptr, 0, returned), 0);
    EXPECT_EQ(d.DeviceIoControl(100, &minutes, 1, nullptr, 0, returned), 0);
    EXPECT_EQ(d.DeviceIoControl(100, &minutes, -2, nullptr, 0, returned), 0);
    EXPECT_EQ(d.save_interval_, 1234);
}

TEST(DeviceIoControl, ReadsAnUnalignedValue) {
    alignas(4) unsigned char buffer[8] = {};
    const std::uint16_t minutes = 2;
    std::memcpy(buffer + 1, &minutes, sizeof minutes);
    Battery32 d;
    int returned = 0;
    d.DeviceIoControl(100, buffer + 1, 2, nullptr, 0, returned);
    EXPECT_EQ(d.save_interval_, 120);
}

}  // namespace
