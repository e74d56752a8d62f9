// Mode and threshold-rule settings, with their trace lines.

#include <gtest/gtest.h>

#include <string>

#include "battery32/battery32.h"
#include "tests/support/cout_capture.h"
#include "tests/support/device_driver.h"

namespace {

struct Applied {
    std::unique_ptr<Battery32> device;
    std::string out;
    int result = 0;
};

Applied Apply(const std::string& settings, std::uint32_t data_id = 4711) {
    Applied a;
    a.device = std::make_unique<Battery32>();
    a.device->data_id_ = data_id;
    a.device->addr_ = 0x01;
    a.device->level_by_rule_["r1"] = 2;
    a.device->value_by_rule_["r1"] = 13.5f;
    test_support::CoutCapture capture;
    a.result = a.device->InitSetting(test_support::ParseJson(settings));
    a.out = capture.Take();
    return a;
}

TEST(ThresholdSettings, TraceLinesAndModes) {
    struct Case {
        const char* settings;
        int mode;
        const char* out;
    };
    const Case cases[] = {
        {"{}", 1, ""},
        {R"({"appSetting": {"b_mode": 3}})", 3, "InitSetting 4711 b_mode_:3\nhere 1\n"},
        {R"({"appSetting": {"b_mode": "3"}})", 3, "InitSetting 4711 b_mode_:3\nhere 1\n"},
        {R"({"appSetting": {"b_mode": "x3"}})", 0, "InitSetting 4711 b_mode_:0\n"},
        {R"({"appSetting": {"b_mode": null}, "thresholdSetting": {"r1": {}}})", 1, ""},
        {R"({"appSetting": "3", "thresholdSetting": {"r1": {}}})", 1, ""},
        {R"({"appSetting": {"b_mode": 2}, "thresholdSetting": {"r1": {}}})", 2,
         "InitSetting 4711 b_mode_:2\n"},
        {R"({"appSetting": {"b_mode": 4}, "thresholdSetting": {"r1": {}}})", 4,
         "InitSetting 4711 b_mode_:4\n"},  // only mode 3 reads the rules
        {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": 7})", 3,
         "InitSetting 4711 b_mode_:3\nhere 1\nhere 2\n"},
        {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": [{"ID": 1}]})", 3,
         "InitSetting 4711 b_mode_:3\nhere 1\nhere 2\n"},
        {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"r1": 5, "r2": {
               "NMAlarmID": "12", "ID": 3, "SignalNumber": "7", "SignalName": "SOC"}}})",
         3,
         "InitSetting 4711 b_mode_:3\nhere 1\nhere 2\nhere r1\nhere r2\n"
         "mobile:r2:12;3;7; level:0 value:0\n"},
        {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"r1": {"SignalName": "V"}}})", 3,
         "InitSetting 4711 b_mode_:3\nhere 1\nhere 2\nhere r1\n"
         "4711 NMAlarmID is missing\n4711 ID is missing\n4711 SignalNumber is missing\n"
         "mobile:r1:;;; level:2 value:13.5\n"},
        {R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"r1": {"ID": null, "NMAlarmID": 4}}})",
         3,
         "InitSetting 4711 b_mode_:3\nhere 1\nhere 2\nhere r1\n"
         "4711 ID is missing\n4711 SignalNumber is missing\nmobile:r1:4;;; level:2 value:13.5\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.settings);
        const Applied a = Apply(c.settings);
        EXPECT_EQ(a.device->b_mode_, c.mode);
        EXPECT_EQ(a.out, c.out);
        EXPECT_EQ(a.result, 1);
        EXPECT_EQ(a.device->data_.data_id, 4711u);
        EXPECT_EQ(a.device->addr_, 0x81);  // the link settings were still read
    }
}

TEST(ThresholdSettings, RulesAreStoredAndKeptAcrossCalls) {
    Applied a = Apply(R"({"appSetting": {"b_mode": 3, "version": 2}, "thresholdSetting": {
        "r1": {"SignalName": "V", "NMAlarmID": "12", "ID": "3", "SignalNumber": "7"},
        "r2": {"SignalName": "T"}}})");
    EXPECT_EQ(a.device->signal_name_by_rule_,
              (std::map<std::string, std::string>{{"r1", "V"}, {"r2", "T"}}));
    EXPECT_EQ(a.device->alarm_code_by_rule_,
              (std::map<std::string, std::string>{{"r1", "12;3;7;"}, {"r2", ";;;"}}));
    EXPECT_EQ(a.device->version_, 2);
    // The host's maps gained a zero entry for every rule object.
    EXPECT_EQ(a.device->level_by_rule_.count("r2"), 1u);
    EXPECT_EQ(a.device->value_by_rule_.count("r2"), 1u);

    {
        test_support::CoutCapture quiet;
        a.device->InitSetting(test_support::ParseJson(
            R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"r2": {"ID": "9"}}})"));
    }
    EXPECT_EQ(a.device->alarm_code_by_rule_.at("r1"), "12;3;7;");
    EXPECT_EQ(a.device->alarm_code_by_rule_.at("r2"), ";9;;");
    EXPECT_EQ(a.device->signal_name_by_rule_.at("r2"), "T");
}

TEST(ThresholdSettings, DataIdIsStampedIntoTheRecord) {
    const Applied a = Apply("{}", 4242);
    EXPECT_EQ(a.device->data_.data_id, 4242u);
}

}  // namespace
