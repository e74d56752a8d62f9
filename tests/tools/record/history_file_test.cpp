#include "tools/record/history_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <stdexcept>

#include "tests/tools/support/test_workspace.h"

namespace record {
namespace {

constexpr std::size_t kSize = 152;

std::vector<std::uint8_t> Record(std::uint8_t fill) {
    return std::vector<std::uint8_t>(kSize, fill);
}

long long FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

struct Contents {
    std::vector<std::vector<std::uint8_t>> records;
    std::size_t trailing_bytes = 0;
};

Contents ReadHistory(const std::string& path, std::size_t record_size) {
    Contents c;
    HistoryReader reader(path, record_size);
    while (const std::uint8_t* r = reader.Next()) c.records.emplace_back(r, r + record_size);
    c.trailing_bytes = reader.trailing_bytes();
    return c;
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
    EXPECT_EQ(FileSize(path), static_cast<long long>(2 * kSize));
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

TEST(HistoryFile, ReaderStreamsPastItsBufferAndRefusesADirectory) {
    tools_test::TempDir dir;
    const std::string path = dir.File("h");
    HistoryWriter w(path, kSize, false);
    ASSERT_EQ(w.Open(), "");
    for (int k = 0; k < 700; ++k)
        ASSERT_EQ(w.Append(Record(static_cast<std::uint8_t>(k)).data(), kSize), "");
    w.Close();
    const auto all = ReadHistory(path, kSize);
    ASSERT_EQ(all.records.size(), 700u);
    for (int k : {0, 255, 256, 699})
        EXPECT_EQ(all.records[k], Record(static_cast<std::uint8_t>(k))) << k;
    try {
        HistoryReader reader(dir.path(), kSize);
        FAIL() << "a directory was read as a history";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("is a directory"), std::string::npos) << e.what();
    }
}

// Past 4 GiB, where a 32-bit size would wrap: opening keeps every byte,
// appending goes to the end, and the last record is read from there.
TEST(HistoryFile, FilePastFourGibibytesKeepsItsSize) {
    tools_test::TempDir dir;
    const std::string path = dir.File("h");
    const long long records = (4LL << 30) / static_cast<long long>(kSize) + 2;
    const long long size = records * static_cast<long long>(kSize);
    {
        HistoryWriter w(path, kSize, false);
        ASSERT_EQ(w.Open(), "");
    }
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(size)), 0) << "no sparse files here";
    HistoryWriter w(path, kSize, false);
    std::size_t cut = 99;
    ASSERT_EQ(w.Open(&cut), "");
    EXPECT_EQ(cut, 0u);
    ASSERT_EQ(w.Append(Record(9).data(), kSize), "");
    w.Close();
    EXPECT_EQ(FileSize(path), size + static_cast<long long>(kSize));
    EXPECT_EQ(ReadLastRecord(path, kSize), Record(9));
}

}  // namespace
}  // namespace record
