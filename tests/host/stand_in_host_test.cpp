#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <stdexcept>

#include "battery32/battery32.h"
#include "host/ttime.h"
#include "host/zor_controller.h"
#include "tests/support/recording_host.h"

namespace {

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;

TEST(StandInHost, TimeRecordLayout) {
    const ttime t = get_ttime(time_from_string("2026-12-08 16:07:21"));
    const auto* b = reinterpret_cast<const unsigned char*>(&t);
    EXPECT_EQ(std::vector<unsigned char>(b, b + 7),
              (std::vector<unsigned char>{0xEA, 0x07, 12, 8, 16, 7, 21}));
    const ttime none = get_ttime(ptime());
    EXPECT_EQ(std::vector<unsigned char>(reinterpret_cast<const unsigned char*>(&none),
                                         reinterpret_cast<const unsigned char*>(&none) + 7),
              std::vector<unsigned char>(7, 0));
}

TEST(StandInHost, ControllerAnswersForKnownReadyDevicesOnly) {
    auto controller = std::make_shared<ZorController>();
    auto device = std::make_shared<Battery32>();
    device->data_id_ = 9;
    device->Init(controller, 9, Json::Value());
    controller->AddDevice(device);

    EXPECT_THROW(device->Get_SP_Value(9, "group_voltage"), std::out_of_range);  // not ready
    unsigned char image[152] = {};
    const float v = 48.5f;
    std::memcpy(image + 132, &v, 4);
    ASSERT_TRUE(device->LoadFromCache(image, 152));
    EXPECT_EQ(device->Get_SP_Value(9, "group_voltage"), 48.5f);
    EXPECT_THROW(device->Get_SP_Value(9, "nonsense"), std::out_of_range);
    EXPECT_THROW(device->Get_SP_Value(10, "group_voltage"), std::out_of_range);

    Battery32 orphan;  // no controller
    EXPECT_THROW(orphan.Get_SP_Value(9, "group_voltage"), std::out_of_range);

    controller->RemoveDevice(9);
    EXPECT_THROW(device->Get_SP_Value(9, "group_voltage"), std::out_of_range);
}

TEST(StandInHost, ScriptedAnswersAndSilenceWithoutASink) {
    Battery32 device;
    EXPECT_FALSE(device.CheckAOReport("x", 1.0f));
    EXPECT_FALSE(device.DoBatchCheckThreshold({}));
    test_support::RecordingHost host;
    host.ao_report_result = true;
    host.batch_check_result = true;
    EXPECT_TRUE(device.CheckAOReport("x", 1.0f));
    EXPECT_TRUE(device.DoBatchCheckThreshold({}));
    EXPECT_TRUE(device.GetAllChildVDevices().empty());
    EXPECT_EQ(device.GetChildVDevice(1), nullptr);
}

}  // namespace
