// A device's energy counters file: read back exactly as written, and a file
// that does not hold this device's counters set aside untouched.

#include "tools/runner/energy/energy_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/tools/support/test_workspace.h"
#include "tools/record/history_file.h"

namespace runner::energy {
namespace {

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(EnergyFile, ReadsBackExactlyWhatWasWritten) {
    tools_test::TempDir dir;
    const std::string path = dir.File("device-7.energy");
    std::string note;
    EXPECT_EQ(ReadEnergyFile(path, 7, &note), std::nullopt);
    EXPECT_EQ(note, "");
    const EnergyCounters written{0.1 + 0.2, 1e-300, 12345.678901234567, 4.9e-324, 1796810020};
    char text[256];
    const std::size_t length = EnergyFileText(7, written, text, sizeof text);
    ASSERT_EQ(record::ReplaceFile(path, path + ".new", text, length, false), "");
    const auto read = ReadEnergyFile(path, 7, &note);
    ASSERT_TRUE(read) << note;
    EXPECT_EQ(note, "");
    EXPECT_EQ(read->charged_ah, written.charged_ah);
    EXPECT_EQ(read->discharged_ah, written.discharged_ah);
    EXPECT_EQ(read->charged_kwh, written.charged_kwh);
    EXPECT_EQ(read->discharged_kwh, written.discharged_kwh);
    EXPECT_EQ(read->since, written.since);
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));
}

TEST(EnergyFile, WhatHoldsNoCountersOfTheDeviceIsSetAsideUntouched) {
    const std::string good =
        R"("charged_ah":1,"discharged_ah":2,"charged_kwh":3,"discharged_kwh":4)";
    const struct {
        const char* what;
        std::string text;
        const char* tag;
        const char* says;
    } cases[] = {
        {"empty", "", "damaged", "are damaged (not JSON"},
        {"cut short", R"({"data_id":7,"charged_ah":1,"disch)", "damaged", "are damaged (not JSON"},
        {"not an object", "[1,2]", "damaged", "must be an object, got an array"},
        {"a count missing", R"({"data_id":7,"charged_ah":1,"since":0})", "damaged",
         "discharged_ah is missing"},
        {"a negative count",
         R"({"data_id":7,"charged_ah":-1,"discharged_ah":2,"charged_kwh":3,)"
         R"("discharged_kwh":4,"since":0})",
         "damaged", "charged_ah is not a count"},
        {"a count as text",
         R"({"data_id":7,"charged_ah":"1","discharged_ah":2,"charged_kwh":3,)"
         R"("discharged_kwh":4,"since":0})",
         "damaged", "charged_ah: must be a number, got a string"},
        {"no start", "{\"data_id\":7," + good + "}", "damaged", "since: missing"},
        {"another device's", "{\"data_id\":8," + good + ",\"since\":0}", "other-device",
         "are not this device's (it holds device 8's counters)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        tools_test::TempDir dir;
        const std::string path = dir.File("device-7.energy");
        dir.Write("device-7.energy", c.text);
        std::string note;
        EXPECT_EQ(ReadEnergyFile(path, 7, &note), std::nullopt);
        EXPECT_NE(note.find(c.says), std::string::npos) << note;
        EXPECT_FALSE(std::filesystem::exists(path));
        std::vector<std::string> aside;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            aside.push_back(entry.path().string());
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_NE(aside[0].find(path + ".aside-" + c.tag + "-"), std::string::npos) << aside[0];
        EXPECT_NE(note.find("renamed aside to " + aside[0] + ", counting starts at zero"),
                  std::string::npos)
            << note;
        EXPECT_EQ(Contents(aside[0]), c.text);
    }
    // What cannot be read is neither used nor set aside: it must not be replaced.
    tools_test::TempDir dir;
    std::filesystem::create_directory(dir.File("device-7.energy"));
    std::string note;
    EXPECT_THROW(ReadEnergyFile(dir.File("device-7.energy"), 7, &note), std::runtime_error);
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("device-7.energy")));
}

}  // namespace
}  // namespace runner::energy
