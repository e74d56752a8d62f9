#include "battery/numeric_text.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace {

using namespace numeric_text;

// Texts the C routines define: the conversions must agree with them exactly.
const char* const kDefinedTexts[] = {
    "0",         "12",         "12abc",       "  42",  "\t\n\v\f\r7", "+5",     "-5",
    "-0",        "6.9",        "abc",         "",      " ",           "- 3",    "+-3",
    "007",       "2147483647", "-2147483648", "1e3",   "0x1A",        "3.99",   "-3.99",
    "1.5e1",     ".5",         "true",        "false", "1 2",         "99abc9", "\xe7\x94\xb5",
    "   -17xyz",
};

TEST(NumericText, AgreesWithTheCRoutinesWhereTheyAreDefined) {
    for (const char* text : kDefinedTexts) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ToInt(text), std::atoi(text));
        EXPECT_EQ(ToLong(text), static_cast<std::int64_t>(std::atol(text)));
        const double expected = std::atof(text);
        EXPECT_EQ(ToDouble(text), expected);
        EXPECT_EQ(ToFloat(text), static_cast<float>(expected));
        EXPECT_EQ(ToIntTruncated(text), static_cast<int>(expected));
    }
}

TEST(NumericText, OutOfRangeTextSaturates) {
    struct Case {
        const char* text;
        int as_int;
        std::int64_t as_long;
    };
    const Case cases[] = {
        {"2147483648", INT_MAX, 2147483648LL},
        {"-2147483649", INT_MIN, -2147483649LL},
        {"99999999999999999999999", INT_MAX, INT64_MAX},
        {"-99999999999999999999999", INT_MIN, INT64_MIN},
        {"9223372036854775807", INT_MAX, INT64_MAX},
        {"-9223372036854775808", INT_MIN, INT64_MIN},
        {"9223372036854775808", INT_MAX, INT64_MAX},  // one past: saturates, never wraps
        {"-9223372036854775809", INT_MIN, INT64_MIN},
        {"9223372036854775806", INT_MAX, INT64_MAX - 1},   // last digit below the limit's
        {"-9223372036854775807", INT_MIN, INT64_MIN + 1},  // only -2^63 is the special case
        {"-9223372036854775806", INT_MIN, INT64_MIN + 2},
        {"4294967296", INT_MAX, 4294967296LL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(ToInt(c.text), c.as_int);
        EXPECT_EQ(ToLong(c.text), c.as_long);
    }
}

TEST(NumericText, FloatAndTruncationSaturateInsteadOfOverflowing) {
    EXPECT_EQ(ToFloat("1e300"), FLT_MAX);
    EXPECT_EQ(ToFloat("-1e300"), -FLT_MAX);
    EXPECT_TRUE(std::isinf(ToFloat("1e999")));
    EXPECT_TRUE(std::isnan(ToFloat("nan")));
    EXPECT_EQ(ToIntTruncated("1e10"), INT_MAX);
    EXPECT_EQ(ToIntTruncated("-1e10"), INT_MIN);
    EXPECT_EQ(ToIntTruncated("nan"), 0);
    EXPECT_EQ(ToIntTruncated("inf"), INT_MAX);
    EXPECT_EQ(ToIntTruncated("2147483647.9"), INT_MAX);
    EXPECT_EQ(ToIntTruncated("-2147483648.9"), INT_MIN);
}

}  // namespace
