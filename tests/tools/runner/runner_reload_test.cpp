// End to end: the site file read again on SIGHUP while polling. One run takes
// a series of edits, each followed by a SIGHUP: those that cannot be taken are
// refused with one line and polling goes on as it was; the one that can adds,
// removes and restarts devices, while the device whose entry stayed as it was
// polls on without a gap in its rounds or a second history record, its port
// left open.

#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/tools/support/expected_record.h"
#include "tests/tools/support/runner_process.h"
#include "tests/tools/support/test_workspace.h"
#include "tools/record/history_check.h"
#include "tools/record/record_format.h"

namespace tools_test {
namespace {

using namespace std::chrono_literals;
using module::CellProfile;
using module::ModuleConfig;

constexpr auto kGenerous = 30s;

std::function<bool(const std::string&)> Having(const std::string& part) {
    return [part](const std::string& line) { return Contains(line, part); };
}

ModuleConfig Module(int address) {
    ModuleConfig m;
    m.address = static_cast<std::uint8_t>(address);
    m.cells = CellProfile::Flat(13.4);
    return m;
}

// The round numbers of `label`'s round lines ("[1001] round 7 ..."), in order.
std::vector<std::uint64_t> Rounds(const std::vector<std::string>& lines, const std::string& label) {
    std::vector<std::uint64_t> rounds;
    for (const std::string& l : LinesStartingWith(lines, label + " round "))
        rounds.push_back(std::stoull(l.substr(label.size() + 7)));
    return rounds;
}

class RunnerReload : public PseudoTerminalTest {};

TEST_F(RunnerReload, EditsAreTakenOrRefusedWhilePolling) {
    // 1001 alone on line a; 1002, 1003 and 1004 share line b.
    SimulatedLine a({Module(1)});
    SimulatedLine b({Module(2), Module(3), Module(4)}, 2);
    const std::string site = dir.File("site.json");
    const std::string d1 = DeviceJson(1001, 1, a.path()), d2 = DeviceJson(1002, 2, b.path()),
                      d3 = DeviceJson(1003, 3, b.path()), d4 = DeviceJson(1004, 4, b.path());
    dir.Write("site.json", SiteJson({d1, d2, d4}));
    std::vector<int> theirs = a.test_side_fds();
    for (const int fd : b.test_side_fds()) theirs.push_back(fd);
    RunnerProcess run(RunnerArgs(site, "150", {{"--time-limit", "60"}}), theirs);
    a.Start();
    b.Start();
    // Records a second apart at least: 1002's newest is not its first.
    const auto first_round = run.WaitForLine(Having("[1002] round 1 "), kGenerous);
    ASSERT_TRUE(first_round) << run.Transcript();
    const std::string first_time = first_round->substr(first_round->find("  ") + 2, 19);
    ASSERT_TRUE(run.WaitForLine(
        [&](const std::string& l) {
            return l.rfind("[1002] round ", 0) == 0 && !Contains(l, first_time);
        },
        kGenerous));

    const std::string refused = "battery32-run: reload refused: " + site + ": ";
    const struct {
        const char* what;
        std::string text;
        std::string says;  // how the line saying what came of it begins
    } edits[] = {
        {"not JSON", R"({"devices": [)", refused + "not JSON: "},
        {"a device refusing its settings",
         SiteJson({d1, d2, d4, DeviceJson(1003, 3, b.path(), R"({"b_mode": [1, 2]})")}),
         refused + "device 1003: the device refused its settings: "},
        {"a new port that is not there",
         SiteJson({d1, d2, d4, DeviceJson(1005, 5, dir.File("no-such-port"))}),
         refused + "port " + dir.File("no-such-port") + ": no such device"},
        {"one added, one removed, one restarted (named)",
         SiteJson({d1, d3, "{\"name\": \"D\", " + d4.substr(1)}),
         "battery32-run: reloaded " + site +
             ": 1 device added (1003), 1 removed (1002), 1 restarted (1004), 1 unchanged; "
             "reopened " +
             b.path()},
    };
    for (const auto& edit : edits) {
        dir.Write("site.json", edit.text);
        run.Signal(SIGHUP);
        const auto said = run.WaitForLine(Having("battery32-run: reload"), kGenerous);
        ASSERT_TRUE(said) << edit.what << "\n" << run.Transcript();
        EXPECT_EQ(said->rfind(edit.says, 0), 0u) << edit.what << ": " << *said;
        if (edit.says.rfind(refused, 0) == 0) {
            EXPECT_TRUE(Contains(*said, "; still polling the site as it was")) << *said;
        }
        // Polling goes on.
        ASSERT_TRUE(run.WaitForLine(Having("[1001] round "), kGenerous)) << edit.what;
    }
    ASSERT_TRUE(run.WaitForLine(Having("[1003] round 2"), kGenerous)) << run.Transcript();
    ASSERT_TRUE(run.WaitForLine(Having("[1004] round 2"), kGenerous)) << run.Transcript();
    run.Signal(SIGTERM);
    ASSERT_EQ(run.Wait(kGenerous), 0) << run.Transcript();

    const std::vector<std::string>& out = run.out();
    const auto reloaded = std::find_if(out.begin(), out.end(), Having("battery32-run: reloaded"));
    ASSERT_NE(reloaded, out.end());
    // 1001 polled on, round after round; 1004 started over; 1002 stopped.
    const std::vector<std::uint64_t> rounds = Rounds(out, "[1001]");
    ASSERT_GE(rounds.size(), 5u);
    for (std::size_t i = 0; i < rounds.size(); ++i) EXPECT_EQ(rounds[i], i + 1) << run.Transcript();
    EXPECT_EQ(std::count(rounds.begin(), rounds.end(), 1u), 1);
    EXPECT_EQ(Rounds({reloaded, out.end()}, "[1004]").front(), 1u) << run.Transcript();
    EXPECT_TRUE(Rounds({reloaded, out.end()}, "[1002]").empty()) << run.Transcript();
    // Line a kept its port open; line b was set up anew.
    EXPECT_EQ(LinesStartingWith(out, "battery32-run: port " + a.path() + ": open").size(), 1u);
    EXPECT_EQ(LinesStartingWith(out, "battery32-run: port " + b.path() + ": open").size(), 2u);
    EXPECT_EQ(LinesStartingWith(out, "battery32-run: stopped; 1001: ").size(), 1u);
    EXPECT_TRUE(Contains(run.Transcript(), "; 1003: ") && Contains(run.Transcript(), "; 1004: "));

    // The history keeps the first record of a start: one for 1001, a second
    // for 1004's new start. 1002's cache got its newest record when it stopped.
    const auto history = [&](int id) {
        return HistoryRecords(dir.File("data/device-" + std::to_string(id) + ".history"));
    };
    EXPECT_EQ(history(1001).size(), 1u);
    EXPECT_EQ(history(1004).size(), 2u);
    const std::vector<Battery32_Data_t> first = history(1002);
    ASSERT_EQ(first.size(), 1u);
    const record::HistoryVerdict cache =
        record::CheckCacheFile(dir.File("data/device-1002.cache"), 1002);
    const auto newest = record::DecodeRecord(cache.last_record.data(), cache.last_record.size());
    ASSERT_TRUE(newest);
    EXPECT_GT(record::FormatTime(newest->timestamp), record::FormatTime(first[0].timestamp));
}

}  // namespace
}  // namespace tools_test
