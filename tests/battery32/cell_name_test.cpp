#include "battery32/cell_name.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <climits>
#include <string>

namespace {

using cell_name::FindCellIndex;

TEST(CellName, SearchResults) {
    struct Case {
        std::string name;
        std::optional<int> index;
    };
    const Case cases[] = {
        {"battery_0_value", 0},
        {"battery_31_value", 31},
        {"battery_32_value", 32},
        {"battery_007_value", 7},
        {"xbattery_5_value_y", 5},
        {"battery__value", std::nullopt},
        {"battery_x_value", std::nullopt},
        {"Battery_1_value", std::nullopt},
        {"battery_1_2_value", std::nullopt},
        {"battery_1_valu", std::nullopt},
        {"battery_", std::nullopt},
        {"", std::nullopt},
        {"battery_99999999999_value", INT_MAX},
        {"battery_4294967296_value", INT_MAX},
        {"battery_2147483647_value", INT_MAX},
        {"battery_2147483646_value", 2147483646},
        {"battery_0000000000000000000000012_value", 12},
        // The first occurrence counts; failed candidates do not hide later ones.
        {"battery_3_value battery_4_value", 3},
        {"battery_battery_9_value", 9},
        {"battery_1_battery_2_value", 2},
        {"battery_12xbattery_13_value", 13},
        {"bbattery_8_value", 8},
        {"battery_\xd9\xa3_value", std::nullopt},  // only ASCII digits count
        {std::string("battery_6\0_value", 16), std::nullopt},
        {std::string("\0battery_6_value", 16), 6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FindCellIndex(c.name), c.index);
    }
    // A view ends where it says, whatever bytes follow it in memory.
    const char text[] = "battery_35_value";
    EXPECT_EQ(FindCellIndex(std::string_view(text, 9)), std::nullopt);  // "battery_3"
    EXPECT_EQ(FindCellIndex(std::string_view(text, 16)), 35);
}

struct LongNameJob {
    std::string name;
    std::optional<int> result;
};

void* RunLongNameJob(void* arg) {
    auto* job = static_cast<LongNameJob*>(arg);
    job->result = FindCellIndex(job->name);
    return nullptr;
}

// A controller's host threads have small stacks: a 1 MiB name must be searched
// on a 64 KiB stack (or the platform's minimum where that is larger: 128 KiB on MIPS).
TEST(CellName, OneMebibyteNameOnA64KibStack) {
    const std::string filler(1 << 20, 'b');
    const std::string digits(1 << 19, '7');
    for (const std::string& name : {filler + "battery_3_value", "battery_" + digits + "_value",
                                    "battery_" + digits, filler}) {
        LongNameJob job{name, std::nullopt};
        pthread_attr_t attr;
        ASSERT_EQ(pthread_attr_init(&attr), 0);
        const std::size_t stack = std::max<std::size_t>(64 * 1024, PTHREAD_STACK_MIN);
        ASSERT_EQ(pthread_attr_setstacksize(&attr, stack), 0);
        pthread_t thread;
        ASSERT_EQ(pthread_create(&thread, &attr, RunLongNameJob, &job), 0);
        ASSERT_EQ(pthread_join(thread, nullptr), 0);
        pthread_attr_destroy(&attr);
        if (name.size() == filler.size() + 15) {
            EXPECT_EQ(job.result, 3);
        } else if (name.back() == 'e') {
            EXPECT_EQ(job.result, INT_MAX);
        } else {
            EXPECT_EQ(job.result, std::nullopt);
        }
    }
}

}  // namespace
