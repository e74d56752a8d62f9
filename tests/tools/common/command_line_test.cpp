// The tools' command lines: the one integer rule that every number given as
// text goes through.

#include "tools/common/command_line.h"

#include <gtest/gtest.h>

namespace tools_test {
namespace {

using command_line::ParseInteger;

TEST(IntegerText, WholeBase10TextWithinRange) {
    const struct {
        const char* text;
        long long min, max;
        std::optional<long long> expected;
    } cases[] = {
        {"0", 0, 10, 0},
        {"10", 0, 10, 10},
        {"11", 0, 10, std::nullopt},
        {"-1", 0, 10, std::nullopt},
        {"-0", 0, 10, std::nullopt},
        {"-0", -5, 5, 0},
        {"-5", -5, 5, -5},
        {"9223372036854775807", 0, INT64_MAX, INT64_MAX},
        {"9223372036854775808", 0, INT64_MAX, std::nullopt},  // overflows, never wraps
        {"99999999999999999999", 0, INT64_MAX, std::nullopt},
        {"", 0, 10, std::nullopt},
        {"5x", 0, 10, std::nullopt},
        {" 5", 0, 10, std::nullopt},
        {"+5", 0, 10, std::nullopt},
        {"0x10", 0, 100, std::nullopt},
        {"1.5", 0, 10, std::nullopt},
        {"007", 0, 10, 7},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseInteger(c.text, c.min, c.max), c.expected) << c.text;
    double seconds = 0;
    EXPECT_TRUE(command_line::Seconds(&seconds)("2.5", nullptr));
    EXPECT_EQ(seconds, 2.5);
    for (const char* bad : {"0", "-1", "1e8", "nan", "inf", "", "1s"}) {
        EXPECT_FALSE(command_line::Seconds(&seconds)(bad, nullptr)) << bad;
        EXPECT_EQ(seconds, 2.5) << "unchanged by " << bad;
    }
}

}  // namespace
}  // namespace tools_test
