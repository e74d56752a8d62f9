#include "tools/record/history_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <stdexcept>

#include "tests/tools/test_workspace.h"

namespace record_tools {
namespace {

constexpr std::size_t kSize = 152;

std::vector<std::uint8_t> Record(std::uint8_t fill) { return std::vector<std::uint8_t>(kSize, fill); }

long FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : -1;
}

TEST(HistoryFile, AppendedRecordsReadBackInOrder) {
    tools_test::TempDir dir;
    const std::string path = dir.File("h");
    HistoryWriter w(path, kSize, true);
    ASSERT_EQ(w.Open(), "");
    for (std::uint8_t k = 1; k <= 3; ++k) ASSERT_EQ(w.Append(Record(k).data(), kSize), "");
    const auto all = ReadHistory(path, kSize);
    ASSERT_EQ(all.records.size(), 3u);
    EXPECT_EQ(all.records[0], Record(1));
    EXPECT_EQ(all.records[2], Record(3));
    EXPECT_EQ(all.trailing_bytes, 0u);
    EXPECT_EQ(ReadLastRecord(path, kSize), Record(3));
}

// A tail torn by a power loss is skipped by readers and cut before appending,
// so the next record lands on a record boundary.
TEST(HistoryFile, PartialTailIsIgnoredAndCutBeforeAppending) {
    tools_test::TempDir dir;
    const std::string path = dir.File("h");
    {
        std::ofstream out(path, std::ios::binary);
        const auto r = Record(7);
        out.write(reinterpret_cast<const char*>(r.data()), kSize);
        out.write("torn-tail", 9);
    }
    EXPECT_EQ(ReadHistory(path, kSize).records.size(), 1u);
    EXPECT_EQ(ReadHistory(path, kSize).trailing_bytes, 9u);
    EXPECT_EQ(ReadLastRecord(path, kSize), Record(7));

    HistoryWriter w(path, kSize, false);
    std::size_t cut = 0;
    ASSERT_EQ(w.Open(&cut), "");
    EXPECT_EQ(cut, 9u);
    ASSERT_EQ(w.Append(Record(8).data(), kSize), "");
    w.Close();
    EXPECT_EQ(FileSize(path), static_cast<long>(2 * kSize));
    EXPECT_EQ(ReadLastRecord(path, kSize), Record(8));
}

TEST(HistoryFile, RecordOfTheWrongSizeIsRefused) {
    tools_test::TempDir dir;
    const std::string path = dir.File("h");
    HistoryWriter w(path, kSize, false);
    ASSERT_EQ(w.Open(), "");
    const auto shortRecord = std::vector<std::uint8_t>(kSize - 1, 1);
    EXPECT_NE(w.Append(shortRecord.data(), shortRecord.size()), "");
    EXPECT_EQ(FileSize(path), 0);
}

TEST(HistoryFile, MissingFile) {
    tools_test::TempDir dir;
    EXPECT_FALSE(ReadLastRecord(dir.File("none"), kSize));
    try {
        ReadHistory(dir.File("none"), kSize);
        FAIL() << "no error for a missing file";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(dir.File("none")), std::string::npos) << e.what();
    }
    HistoryWriter w(dir.File("no-dir/h"), kSize, false);
    EXPECT_NE(w.Open(), "");
}

}  // namespace
}  // namespace record_tools
