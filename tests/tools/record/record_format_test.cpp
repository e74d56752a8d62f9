#include "tools/record/record_format.h"

#include <gtest/gtest.h>
#include <json/reader.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <sstream>

namespace record {
namespace {

Battery32_Data_t Sample() {
    Battery32_Data_t r;
    std::memset(&r, 0, sizeof r);
    r.data_id = 1001;
    for (int i = 0; i < kBattery32Cells; ++i)
        r.cell_voltage[i] = 13.0f + 0.01f * static_cast<float>(i);
    r.group_voltage = 864.5f;
    r.group_current = 12.5f;
    r.temperature = 25.3f;
    r.timestamp = ttime{{0xEA, 0x07}, 12, 8, 16, 5, 9};
    return r;
}

TEST(RecordFormat, FloatTextReadsBackAsTheSameFloat) {
    for (float v : {0.0f, -0.0f, 0.1f, 13.38f, 431.5f, -2.5f, 1e-45f, 1.17549435e-38f, FLT_MAX,
                    1.0f / 3.0f, 12.345678f}) {
        const std::string text = FormatFloat(v);
        const float back = std::strtof(text.c_str(), nullptr);
        EXPECT_EQ(std::memcmp(&back, &v, sizeof v), 0) << text;
    }
    EXPECT_EQ(FormatFloat(std::numeric_limits<float>::quiet_NaN()), "nan");
    EXPECT_EQ(FormatFloat(-std::numeric_limits<float>::infinity()), "-inf");
    EXPECT_EQ(FormatFloat(13.38f), "13.38");
}

// The local stamp, and with the offset its zone had then: in winter and in
// summer, east and west of UTC, and UTC itself.
TEST(RecordFormat, TimeStamp) {
    EXPECT_EQ(FormatTime(ttime{{0xEA, 0x07}, 12, 8, 16, 5, 9}), "2026-12-08 16:05:09");
    EXPECT_EQ(FormatTime(ttime{}), "");
    const char* const zone = std::getenv("TZ");
    const std::string kept = zone ? zone : "";
    const struct {
        const char* zone;
        ttime stamp;
        const char* shown;
    } cases[] = {
        {"CET-1CEST,M3.5.0,M10.5.0/3",
         {{0xEA, 0x07}, 12, 8, 16, 5, 9},
         "2026-12-08T16:05:09+01:00"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", {{0xEA, 0x07}, 7, 1, 0, 0, 0}, "2026-07-01T00:00:00+02:00"},
        {"NST3:30NDT,M3.2.0,M11.1.0", {{0xEA, 0x07}, 12, 8, 16, 5, 9}, "2026-12-08T16:05:09-03:30"},
        {"UTC0", {{0xEA, 0x07}, 2, 28, 23, 59, 59}, "2026-02-28T23:59:59Z"},
        {"UTC0", {}, ""},
    };
    for (const auto& c : cases) {
        ::setenv("TZ", c.zone, 1);
        ::tzset();
        EXPECT_EQ(FormatTime(c.stamp, TimeForm::kWithOffset), c.shown) << c.zone;
    }
    if (zone) {
        ::setenv("TZ", kept.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}

TEST(RecordFormat, JsonLineHasEveryFieldAndNullForNonFinite) {
    Battery32_Data_t r = Sample();
    r.group_current = std::numeric_limits<float>::quiet_NaN();
    const std::string line = JsonLine(r, 4, 35);
    EXPECT_EQ(line.find('\n'), std::string::npos);
    Json::Value v;
    std::istringstream in(line);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &v, nullptr)) << line;
    EXPECT_EQ(v["data_id"].asUInt(), 1001u);
    EXPECT_EQ(v["round"].asUInt(), 4u);
    EXPECT_EQ(v["threshold_checks"].asUInt(), 35u);
    EXPECT_EQ(v["time"].asString(), "2026-12-08 16:05:09");
    ASSERT_EQ(v["cell_voltage"].size(), 32u);
    EXPECT_DOUBLE_EQ(v["cell_voltage"][31].asDouble(),
                     std::strtod(FormatFloat(r.cell_voltage[31]).c_str(), nullptr));
    EXPECT_DOUBLE_EQ(v["group_voltage"].asDouble(), 864.5);
    EXPECT_TRUE(v["group_current"].isNull());
    EXPECT_EQ(v["status"].asInt(), 0);
    EXPECT_FALSE(JsonLine(r, std::nullopt, std::nullopt).find("\"round\"") != std::string::npos);
}

TEST(RecordFormat, RoundLineSkipsCellsWithoutReading) {
    Battery32_Data_t r = Sample();
    r.cell_voltage[0] = 0.0f;    // no reading: not the lowest
    r.cell_voltage[6] = 12.1f;   // cell 7 is weak
    r.cell_voltage[20] = 13.9f;  // cell 21 is highest
    const std::string line = RoundLine(r, 2, std::nullopt);
    EXPECT_NE(line.find("[1001] round 2  2026-12-08 16:05:09"), std::string::npos) << line;
    EXPECT_NE(line.find("group 864.50 V  current 12.50 A  temp 25.30 C"), std::string::npos)
        << line;
    EXPECT_NE(line.find("low cell 7 12.100 V  high cell 21 13.900 V"), std::string::npos) << line;
    EXPECT_NE(line.find("(1 cell without reading)"), std::string::npos) << line;
    EXPECT_EQ(line.find("checks"), std::string::npos);
    EXPECT_NE(RoundLine(r, 2, 35).find("checks 35"), std::string::npos);
}

TEST(RecordFormat, CsvRowMatchesHeader) {
    const auto count = [](const std::string& s) { return std::count(s.begin(), s.end(), ','); };
    EXPECT_EQ(count(CsvHeader()), count(CsvRow(Sample())));
    const std::string time = FormatTime(Sample().timestamp, TimeForm::kWithOffset);
    EXPECT_EQ(time.rfind("2026-12-08T16:05:09", 0), 0u) << time;
    EXPECT_EQ(CsvRow(Sample()).rfind("1001," + time + ",13,13.01,", 0), 0u) << CsvRow(Sample());
}

}  // namespace
}  // namespace record
