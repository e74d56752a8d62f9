// Value lookup by variable name: readiness, freshness, then the name.

#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>

#include "battery32/battery32.h"

namespace {

using boost::posix_time::second_clock;
using boost::posix_time::seconds;

const char kNotReady[] = "数据未就绪";
const char kTimedOut[] = "数据已超时";
const char kUnsupported[] = "不支持变量";

// The message of the out_of_range a lookup throws, or "" when it answers.
std::string Refusal(const VDeviceInterface& d, const std::string& name) {
    try {
        d.Get_Value(0, name);
        return "";
    } catch (const std::out_of_range& e) {
        return e.what();
    }
}

class Lookup : public testing::Test {
protected:
    void SetUp() override {
        unsigned char image[152] = {};
        for (int i = 0; i < 32; ++i) {
            const float v = 10.0f + static_cast<float>(i);
            std::memcpy(image + offsetof(Battery32_Data_t, cell_voltage) + sizeof v * i, &v, 4);
        }
        ASSERT_TRUE(device.LoadFromCache(image, 152));
        device.group_voltage_ = 381.5f;
        device.group_current_ = -3.5f;
        device.temperature_ = 22.25f;
    }
    Battery32 device;
};

TEST(LookupDefaults, InterfaceDefaults) {
    struct Bare : VDeviceInterface {
        bool LoadFromCache(const unsigned char*, int) override { return false; }
    } bare;
    EXPECT_EQ(Refusal(bare, "group_voltage"), kNotReady);
    int returned = 5;
    EXPECT_EQ(bare.DeviceIoControl(100, nullptr, 0, nullptr, 0, returned), -2);
    EXPECT_EQ(returned, 5);
    bare.RoundDone();
}

TEST(LookupDefaults, FreshDeviceIsNotReadyWhateverTheName) {
    Battery32 fresh;
    for (const char* name : {"battery_0_value", "group_voltage", "nonsense", ""})
        EXPECT_EQ(Refusal(fresh, name), kNotReady) << name;
}

TEST_F(Lookup, NamesAnswered) {
    struct Case {
        const char* name;
        float value;
    };
    const Case cases[] = {
        {"battery_0_value", 10.0f},    {"battery_31_value", 41.0f}, {"battery_007_value", 17.0f},
        {"xbattery_5_value_y", 15.0f}, {"group_voltage", 381.5f},   {"group_current", -3.5f},
        {"temperature", 22.25f},
    };
    for (const auto& c : cases) EXPECT_EQ(device.Get_Value(0, c.name), c.value) << c.name;
}

TEST_F(Lookup, CellsComeFromTheRecordNotTheLiveArray) {
    device.cell_voltages_[3] = 99.0f;
    EXPECT_EQ(device.Get_Value(0, "battery_3_value"), 13.0f);
}

TEST_F(Lookup, NamesRefused) {
    for (const char* name :
         {"battery_32_value", "battery__value", "battery_x_value", "Battery_1_value",
          "battery_1_2_value", "battery_99999999999_value", "battery_4294967296_value",
          "GROUP_VOLTAGE", "group_voltage ", "", "temperature\n"}) {
        EXPECT_EQ(Refusal(device, name), kUnsupported) << name;
    }
}

TEST_F(Lookup, FreshnessBoundaryIsSixtySeconds) {
    struct Case {
        long age;
        const char* refusal;
    };
    const Case cases[] = {{0, ""},           {59, ""},   {60, ""}, {61, kTimedOut},
                          {3600, kTimedOut}, {-3600, ""}};  // clock set back: still fresh
    for (const auto& c : cases) {
        SCOPED_TRACE(c.age);
        // Retry if the second ticks over between setting and asking.
        bool checked = false;
        for (int attempt = 0; attempt < 5 && !checked; ++attempt) {
            const auto before = second_clock::local_time();
            device.last_active_time_ = before - seconds(c.age);
            const std::string refusal = Refusal(device, "battery_1_value");
            if (second_clock::local_time() != before) continue;
            EXPECT_EQ(refusal, c.refusal);
            checked = true;
        }
        EXPECT_TRUE(checked);
    }
}

TEST_F(Lookup, ChecksRunInOrderReadinessFreshnessName) {
    device.last_active_time_ = second_clock::local_time() - seconds(120);
    EXPECT_EQ(Refusal(device, "nonsense"), kTimedOut);
    device.data_ready_ = false;
    EXPECT_EQ(Refusal(device, "nonsense"), kNotReady);
}

TEST_F(Lookup, DeadModuleGoesStaleSixtySecondsAfterItsLastData) {
    // A module that stopped answering while poll commands keep going out: each
    // command stamps the link activity, but not the time data last came in.
    struct Case {
        long since_last_data;
        const char* refusal;
    };
    const Case cases[] = {{60, ""}, {61, kTimedOut}, {120, kTimedOut}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.since_last_data);
        bool checked = false;
        for (int attempt = 0; attempt < 5 && !checked; ++attempt) {
            const auto before = second_clock::local_time();
            device.last_data_time_ = before - seconds(c.since_last_data);
            device.pending_cmd_ = 0;
            device.RefreshStatus();  // a command goes out, unanswered
            const std::string refusal = Refusal(device, "battery_1_value");
            if (second_clock::local_time() != before) continue;
            EXPECT_EQ(device.pending_cmd_, 1);
            EXPECT_EQ(device.last_active_time_, before);
            EXPECT_EQ(refusal, c.refusal);
            checked = true;
        }
        EXPECT_TRUE(checked);
    }
    // Data coming in again makes the values fresh at once.
    unsigned char image[152] = {};
    ASSERT_TRUE(device.LoadFromCache(image, 152));
    EXPECT_EQ(device.Get_Value(0, "battery_1_value"), 0.0f);
}

TEST_F(Lookup, UnknownDataTimeCountsAsTimedOut) {
    device.last_data_time_ = boost::posix_time::ptime();
    EXPECT_EQ(Refusal(device, "battery_1_value"), kTimedOut);
}

TEST_F(Lookup, UnknownActivityTimeCountsAsTimedOut) {
    using boost::posix_time::ptime;
    // Whatever special value the host leaves there; +infinity would otherwise look
    // infinitely fresh.
    const ptime specials[] = {ptime(), ptime(boost::date_time::pos_infin),
                              ptime(boost::date_time::neg_infin)};
    for (std::size_t i = 0; i < std::size(specials); ++i) {
        SCOPED_TRACE(i);
        device.last_active_time_ = specials[i];
        EXPECT_EQ(Refusal(device, "battery_1_value"), kTimedOut);
    }
}

TEST_F(Lookup, CellCountBoundsTheCellNames) {
    device.cell_count_ = 5;
    EXPECT_EQ(device.Get_Value(0, "battery_4_value"), 14.0f);
    EXPECT_EQ(Refusal(device, "battery_5_value"), kUnsupported);
    device.cell_count_ = 1000;  // never past the 32 cells the record holds
    EXPECT_EQ(device.Get_Value(0, "battery_31_value"), 41.0f);
    EXPECT_EQ(Refusal(device, "battery_32_value"), kUnsupported);
    device.cell_count_ = -1;
    EXPECT_EQ(Refusal(device, "battery_0_value"), kUnsupported);
}

TEST(LookupOnLink, BatteryLookupAnswersOnlyTheThreeStringNames) {
    Battery32 d;
    d.group_voltage_ = 1.0f;
    const Battery& as_link = d;
    EXPECT_EQ(as_link.Battery::Get_Value(0, "group_voltage"), 1.0f);
    EXPECT_THROW(as_link.Battery::Get_Value(0, "battery_1_value"), std::out_of_range);
}

}  // namespace
