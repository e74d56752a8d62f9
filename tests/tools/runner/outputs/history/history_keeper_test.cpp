// What the runner keeps of a device's records: the history at the device's
// interval, the newest record in the cache, and only this device's files used.

#include "tools/runner/outputs/history/history_keeper.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "tests/tools/support/test_workspace.h"
#include "tools/record/record_format.h"

namespace runner::outputs {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kId = 1001;

Bytes Record(std::uint32_t data_id, std::uint8_t second, float group_voltage = 432.0f) {
    Battery32_Data_t r;
    std::memset(&r, 0, sizeof r);
    r.data_id = data_id;
    for (float& v : r.cell_voltage) v = 13.5f;
    r.group_voltage = group_voltage;
    r.timestamp = ttime{{0xEA, 0x07}, 12, 8, 9, 5, second};
    const auto* p = reinterpret_cast<const std::uint8_t*>(&r);
    return Bytes(p, p + sizeof r);
}

Bytes FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Files in the folder whose names start with `prefix`.
std::vector<std::string> FilesStartingWith(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name.rfind(prefix, 0) == 0) out.push_back(e.path().string());
    }
    return out;
}

class HistoryKeeperTest : public ::testing::Test {
protected:
    HistoryKeeperTest()
        : problems_fd_(::open(dir.File("problems").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644)),
          console_("battery32-run", problems_fd_, problems_fd_, false) {}
    ~HistoryKeeperTest() override { ::close(problems_fd_); }

    std::unique_ptr<HistoryKeeper> Keeper(HistoryPolicy policy = {}) {
        return std::make_unique<HistoryKeeper>(dir.path(), kId, policy, console_);
    }
    std::string History() const { return dir.File("device-1001.history"); }
    std::string Cache() const { return dir.File("device-1001.cache"); }
    std::vector<std::string> Problems() const {
        std::vector<std::string> lines;
        std::ifstream in(dir.File("problems"));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    tools_test::TempDir dir;
    const HistoryKeeper::Clock::time_point t0{};

private:
    int problems_fd_;
    console::Console console_;
};

// The first record goes in at once, then one per interval as the device sets
// it at that moment; the cache always ends with the newest record.
TEST_F(HistoryKeeperTest, HistoryAtTheDeviceIntervalCacheWithTheNewest) {
    auto keeper = Keeper();
    keeper->Save(Record(kId, 0).data(), 152, 600, t0);
    keeper->Save(Record(kId, 1).data(), 152, 600, t0 + 599s);
    keeper->Save(Record(kId, 2).data(), 152, 600, t0 + 600s);
    keeper->Save(Record(kId, 3).data(), 152, 60, t0 + 659s);  // interval cut to a minute
    keeper->Save(Record(kId, 4).data(), 152, 60, t0 + 660s);
    keeper->Save(Record(kId, 5).data(), 152, 60, t0 + 661s);
    // Replaced at 0 s, 599 s and 659 s: at most once a minute.
    EXPECT_EQ(FileBytes(Cache()), Record(kId, 3));
    keeper->Stop();
    EXPECT_EQ(FileBytes(History()), Concat({Record(kId, 0), Record(kId, 2), Record(kId, 4)}));
    EXPECT_EQ(FileBytes(Cache()), Record(kId, 5));

    HistoryPolicy every;
    every.every_round = true;
    std::filesystem::remove(History());
    keeper = Keeper(every);
    for (std::uint8_t s = 0; s < 3; ++s) keeper->Save(Record(kId, s).data(), 152, 600, t0 + 1s * s);
    keeper->Stop();
    EXPECT_EQ(FileBytes(History()), Concat({Record(kId, 0), Record(kId, 1), Record(kId, 2)}));
    EXPECT_TRUE(Problems().empty());
}

// At start the cache's record is preferred; without a usable cache, the
// history's last record is used.
TEST_F(HistoryKeeperTest, RestartPrefersTheCacheThenTheHistory) {
    auto keeper = Keeper();
    keeper->Save(Record(kId, 0).data(), 152, 600, t0);
    keeper->Save(Record(kId, 1).data(), 152, 600, t0 + 10s);
    keeper->Stop();
    keeper = Keeper();
    auto start = keeper->Start();
    ASSERT_TRUE(start);
    EXPECT_EQ(start->image, Record(kId, 1));
    EXPECT_EQ(start->source, Cache());

    std::filesystem::remove(Cache());
    keeper = Keeper();
    start = keeper->Start();
    ASSERT_TRUE(start);
    EXPECT_EQ(start->image, Record(kId, 0));
    EXPECT_EQ(start->source, History());
}

Bytes RandomBytes(std::size_t n) {
    std::mt19937 random(7);
    Bytes out(n);
    for (auto& b : out) b = static_cast<std::uint8_t>(random());
    return out;
}

struct ForeignCase {
    const char* name;
    bool cache;  // the cache file rather than the history
    Bytes bytes;
    const char* tag;
};

void PrintTo(const ForeignCase& c, std::ostream* os) { *os << c.name; }

class HistoryKeeperForeign : public HistoryKeeperTest,
                             public ::testing::WithParamInterface<ForeignCase> {};

// A file that is not this device's is never loaded, cut or appended to: it is
// renamed aside byte for byte, one line says so, and a new one starts.
TEST_P(HistoryKeeperForeign, IsSetAsideIntactAndANewOneStarts) {
    const ForeignCase& c = GetParam();
    const std::string path = c.cache ? Cache() : History();
    WriteBytes(path, c.bytes);
    auto keeper = Keeper();
    EXPECT_FALSE(keeper->Start()) << "a foreign record was offered to the device";

    const auto aside = FilesStartingWith(
        dir.path(), std::filesystem::path(path).filename().string() + ".aside-" + c.tag + "-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(FileBytes(aside[0]), c.bytes);
    const auto problems = Problems();
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("renamed aside to " + aside[0]), std::string::npos) << problems[0];

    keeper->Save(Record(kId, 9).data(), 152, 600, t0);
    keeper->Stop();
    EXPECT_EQ(FileBytes(History()), Record(kId, 9));
    EXPECT_EQ(FileBytes(Cache()), Record(kId, 9));
}

INSTANTIATE_TEST_SUITE_P(
    Files, HistoryKeeperForeign,
    ::testing::Values(
        ForeignCase{"RandomBytes", false, RandomBytes(1000), "not-a-record"},
        ForeignCase{"OtherDevicesHistory", false, Concat({Record(1002, 1), Record(1002, 2)}),
                    "other-device"},
        ForeignCase{"ShortGarbage", false, Bytes{'h', 'e', 'l', 'l', 'o'}, "not-a-record"},
        ForeignCase{"OtherDevicesCache", true, Record(1002, 1), "other-device"},
        ForeignCase{"CacheOfTwoRecords", true, Concat({Record(kId, 1), Record(kId, 2)}),
                    "not-a-record"},
        ForeignCase{"CacheNotANumber", true, Record(kId, 1, std::nanf("")), "not-a-record"}),
    [](const ::testing::TestParamInfo<ForeignCase>& info) { return std::string(info.param.name); });

// A history removed or replaced behind the runner's back is noticed before the
// next write: records never go into a deleted file or onto a stranger's.
TEST_F(HistoryKeeperTest, HistoryRemovedOrReplacedWhileRunningStartsAnew) {
    HistoryPolicy every;
    every.every_round = true;
    auto keeper = Keeper(every);
    keeper->Save(Record(kId, 0).data(), 152, 600, t0);
    std::filesystem::remove(History());
    keeper->Save(Record(kId, 1).data(), 152, 600, t0 + 1s);
    EXPECT_EQ(FileBytes(History()), Record(kId, 1));

    const Bytes stranger = Record(1002, 5);
    WriteBytes(dir.File("other"), stranger);
    std::filesystem::rename(dir.File("other"), History());
    keeper->Save(Record(kId, 2).data(), 152, 600, t0 + 2s);
    keeper->Stop();
    EXPECT_EQ(FileBytes(History()), Record(kId, 2));
    const auto aside = FilesStartingWith(dir.path(), "device-1001.history.aside-other-device-");
    ASSERT_EQ(aside.size(), 1u);
    EXPECT_EQ(FileBytes(aside[0]), stranger);
    EXPECT_EQ(Problems().size(), 3u);  // removed; replaced; set aside
}

// A history that cannot be used is one line, not one per record; the cache
// still keeps the newest record.
TEST_F(HistoryKeeperTest, UnusableHistoryIsReportedOnce) {
    std::filesystem::create_directory(History());
    HistoryPolicy every;
    every.every_round = true;
    auto keeper = Keeper(every);
    EXPECT_FALSE(keeper->Start());
    for (std::uint8_t s = 0; s < 3; ++s) keeper->Save(Record(kId, s).data(), 152, 600, t0 + 1s * s);
    keeper->Stop();
    EXPECT_EQ(Problems().size(), 1u);
    EXPECT_EQ(FileBytes(Cache()), Record(kId, 2));
}

// A torn tail of less than a record is ours to cut; nothing polled, nothing made.
TEST_F(HistoryKeeperTest, TornTailIsCutAndNoFileIsMadeWithoutARecord) {
    auto keeper = Keeper();
    keeper->Start();
    keeper->Stop();
    EXPECT_FALSE(std::filesystem::exists(History()));
    EXPECT_FALSE(std::filesystem::exists(Cache()));

    const Bytes third = Record(kId, 3);
    const Bytes torn(third.begin(), third.begin() + 40);
    WriteBytes(History(), Concat({Record(kId, 1), torn}));
    keeper = Keeper();
    const auto start = keeper->Start();
    ASSERT_TRUE(start);
    EXPECT_EQ(start->image, Record(kId, 1));
    keeper->Save(Record(kId, 2).data(), 152, 600, t0);
    keeper->Stop();
    EXPECT_EQ(FileBytes(History()), Concat({Record(kId, 1), Record(kId, 2)}));
}

}  // namespace
}  // namespace runner::outputs
