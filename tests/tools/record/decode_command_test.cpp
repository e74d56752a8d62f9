// battery32-run decode: a history file back as CSV, every field, exactly.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "tests/tools/support/runner_process.h"
#include "tests/tools/support/test_workspace.h"
#include "tools/record/history_file.h"
#include "tools/record/record_format.h"

namespace tools_test {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> Split(const std::string& line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t comma; (comma = line.find(',', start)) != std::string::npos;
         start = comma + 1) {
        fields.push_back(line.substr(start, comma - start));
    }
    fields.push_back(line.substr(start));
    return fields;
}

bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

Battery32_Data_t MakeRecord(std::uint32_t id, int seed) {
    Battery32_Data_t r;
    std::memset(&r, 0, sizeof r);
    r.data_id = id;
    for (int i = 0; i < kBattery32Cells; ++i) {
        // Values with no short decimal form, tiny and zero ones included.
        r.cell_voltage[i] =
            i == 3 ? 0.0f
                   : (i == 4 ? 1e-38f : 12.0f + std::sqrt(static_cast<float>(seed + i)) / 7.0f);
    }
    r.group_voltage = 431.0f + 1.0f / 3.0f * static_cast<float>(seed);
    r.group_current = -2.5f - 0.1f * static_cast<float>(seed);
    r.status = 0;
    r.temperature = 25.0f + 0.01f * static_cast<float>(seed);
    r.timestamp = ttime{{0xEA, 0x07}, 12, 8, 9, 5, static_cast<std::uint8_t>(seed)};
    return r;
}

TEST(RunnerDecode, HistoryComesBackFieldForField) {
    TempDir dir;
    const std::string path = dir.File("device-42.history");
    std::vector<Battery32_Data_t> written;
    {
        record::HistoryWriter writer(path, record::kRecordSize, false);
        ASSERT_EQ(writer.Open(), "");
        for (int k = 0; k < 3; ++k) {
            written.push_back(MakeRecord(42, k));
            ASSERT_EQ(writer.Append(reinterpret_cast<const std::uint8_t*>(&written.back()),
                                    sizeof written.back()),
                      "");
        }
    }
    std::ofstream(path, std::ios::app | std::ios::binary) << std::string(40, '\x7f');  // torn tail

    RunnerProcess run({"decode", path});
    ASSERT_EQ(run.Wait(60s), 0) << run.Transcript();
    ASSERT_EQ(run.out().size(), 1 + written.size()) << run.Transcript();

    const auto header = Split(run.out()[0]);
    ASSERT_EQ(header.size(), 38u);
    EXPECT_EQ(header[0], "data_id");
    EXPECT_EQ(header[1], "time");
    EXPECT_EQ(header[2], "cell_1");
    EXPECT_EQ(header[33], "cell_32");
    EXPECT_EQ(header[37], "temperature");

    for (std::size_t k = 0; k < written.size(); ++k) {
        SCOPED_TRACE(k);
        const auto f = Split(run.out()[k + 1]);
        ASSERT_EQ(f.size(), header.size());
        const Battery32_Data_t& w = written[k];
        EXPECT_EQ(f[0], "42");
        // The stamp with its zone's offset.
        EXPECT_EQ(f[1], record::FormatTime(w.timestamp, record::TimeForm::kWithOffset));
        EXPECT_EQ(f[1].rfind("2026-12-08T09:05:0" + std::to_string(k), 0), 0u) << f[1];
        for (int i = 0; i < kBattery32Cells; ++i) {
            EXPECT_TRUE(SameBits(std::strtof(f[2 + i].c_str(), nullptr), w.cell_voltage[i]))
                << f[2 + i];
        }
        EXPECT_TRUE(SameBits(std::strtof(f[34].c_str(), nullptr), w.group_voltage)) << f[34];
        EXPECT_TRUE(SameBits(std::strtof(f[35].c_str(), nullptr), w.group_current)) << f[35];
        EXPECT_EQ(f[36], "0");
        const float temperature = w.temperature;
        EXPECT_TRUE(SameBits(std::strtof(f[37].c_str(), nullptr), temperature)) << f[37];
    }
    ASSERT_EQ(run.err().size(), 1u) << run.Transcript();
    EXPECT_TRUE(Contains(run.err()[0], "ignored 40 trailing bytes")) << run.err()[0];
}

TEST(RunnerDecode, MissingFileIsNamed) {
    TempDir dir;
    RunnerProcess run({"decode", dir.File("absent.history")});
    EXPECT_EQ(run.Wait(60s), 1);
    ASSERT_EQ(run.err().size(), 1u) << run.Transcript();
    EXPECT_TRUE(Contains(run.err()[0], dir.File("absent.history") + ": cannot open"))
        << run.err()[0];
}

// Output that cannot be written is a failure, not a cut CSV with status 0.
TEST(RunnerDecode, FullOutputDeviceIsExitOne) {
    TempDir dir;
    const std::string path = dir.File("device-42.history");
    {
        record::HistoryWriter writer(path, record::kRecordSize, false);
        ASSERT_EQ(writer.Open(), "");
        const Battery32_Data_t r = MakeRecord(42, 1);
        for (int k = 0; k < 2000; ++k) {  // more than one output buffer
            ASSERT_EQ(writer.Append(reinterpret_cast<const std::uint8_t*>(&r), sizeof r), "");
        }
    }
    RunnerProcess run({"decode", path}, {}, "/dev/full");
    EXPECT_EQ(run.Wait(60s), 1) << run.Transcript();
    ASSERT_EQ(run.err().size(), 1u) << run.Transcript();
    EXPECT_TRUE(Contains(run.err()[0], "cannot write the output")) << run.err()[0];
}

TEST(RunnerDecode, HelpAndRefusals) {
    TempDir dir;
    // Text is no history; nor are two devices' records in one file.
    dir.Write("README.md",
              "# battery32 \xe2\x80\x94 battery-string monitor plug-in\n" + std::string(400, 'x'));
    {
        record::HistoryWriter writer(dir.File("mixed.history"), record::kRecordSize, false);
        ASSERT_EQ(writer.Open(), "");
        for (const std::uint32_t id : {42u, 42u, 43u}) {
            const Battery32_Data_t r = MakeRecord(id, 1);
            ASSERT_EQ(writer.Append(reinterpret_cast<const std::uint8_t*>(&r), sizeof r), "");
        }
    }
    RunnerProcess help({"decode", "-h"});
    EXPECT_EQ(help.Wait(60s), 0) << help.Transcript();
    EXPECT_TRUE(Contains(help.Transcript(), "battery32-run decode HISTORY_FILE"))
        << help.Transcript();
    EXPECT_FALSE(Contains(help.Transcript(), "--tick-ms")) << "decode's own help, not the run's";

    const struct {
        std::vector<std::string> args;
        int status;
        std::string says;
    } cases[] = {
        {{"decode", dir.path()}, 1, dir.path() + ": is a directory"},
        {{"decode", dir.File("README.md")},
         1,
         dir.File("README.md") + ": not a history file of battery32 records: record 1 (at byte "
                                 "0) has no valid time stamp"},
        {{"decode", "--json", dir.File("mixed.history")},
         1,
         ": not a history file of battery32 records: record 3 (at byte 304) is device 43's, "
         "record 1 device 42's"},
        {{"decode"}, 2, "decode: which history file?"},
        {{"decode", "a", "b"}, 2, "decode: one history file at a time"},
        {{"decode", "--csv", "a"}, 2, "decode: unknown option --csv"},
    };
    for (const auto& c : cases) {
        RunnerProcess run(c.args);
        EXPECT_EQ(run.Wait(60s), c.status) << run.Transcript();
        ASSERT_EQ(run.err().size(), 1u) << run.Transcript();
        EXPECT_TRUE(Contains(run.err()[0], c.says)) << run.err()[0];
        // No rows of garbage: at most the records before the one at fault.
        EXPECT_LE(run.out().size(), 2u) << run.Transcript();
    }
}

}  // namespace
}  // namespace tools_test
