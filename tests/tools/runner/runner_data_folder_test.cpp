// End to end: the data folder. One runner at a time, history at the device's
// interval, the cache for restarts, and a folder that cannot be written.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "tests/tools/support/expected_record.h"
#include "tests/tools/support/runner_process.h"
#include "tests/tools/support/test_workspace.h"
#include "tools/sim/pty_pair.h"

namespace tools_test {
namespace {

using namespace std::chrono_literals;
using module::CellProfile;
using module::ModuleConfig;

constexpr auto kGenerous = 60s;

// Every file of `folder` by name, with what it holds.
std::map<std::string, std::string> Snapshot(const std::string& folder) {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        std::ostringstream bytes;
        bytes << std::ifstream(entry.path(), std::ios::binary).rdbuf();
        files[entry.path().filename()] = bytes.str();
    }
    return files;
}

class RunnerDataFolder : public PseudoTerminalTest {
protected:
    void SetUp() override {
        PseudoTerminalTest::SetUp();
        if (IsSkipped()) return;
        NewLine();
    }
    // A fresh simulated line, started only once the runner child is forked.
    void NewLine() {
        ModuleConfig m;
        m.address = 1;
        m.cells = CellProfile::Flat(13.4);
        line_.reset();
        line_ = std::make_unique<SimulatedLine>(std::vector<ModuleConfig>{m});
        dir.Write("site.json", SiteJson({DeviceJson(1001, 1, line_->path())}));
    }
    std::vector<std::string> Args(std::vector<std::string> more) {
        return RunnerArgs(dir.File("site.json"), "150", {{"--time-limit", "30"}, more});
    }
    static std::function<bool(const std::string&)> Having(const std::string& part) {
        return [part](const std::string& line) { return Contains(line, part); };
    }
    std::unique_ptr<SimulatedLine> line_;
};

// How the first runner is signalled, and whether that stops it.
struct Signalling {
    const char* name;
    int signal;  // sent to the runner; 0: the runner's terminal hangs up
    bool stops;
};

void PrintTo(const Signalling& s, std::ostream* os) { *os << s.name; }

class RunnerDataFolderSignal : public RunnerDataFolder,
                               public ::testing::WithParamInterface<Signalling> {};

// A second runner on the folder is refused, naming the holder; the first is
// stopped by a quit signal as by SIGTERM, or by the hang-up that comes when
// its terminal goes, with its summary. A hang-up sent to it reloads the site
// file instead, and polling goes on.
TEST_P(RunnerDataFolderSignal, SecondRunnerIsRefusedAndTheSignalStopsTheFirstOrReloads) {
    std::vector<int> theirs = line_->test_side_fds();
    sim::PtyPair terminal;
    for (const int fd : terminal.descriptors()) theirs.push_back(fd);
    // In a session of its own, the runner makes the pseudo-terminal its controlling one.
    const auto with_terminal = [&terminal] {
        ::setsid();
        ::close(::open(terminal.slave_path().c_str(), O_RDWR | O_CLOEXEC));
    };
    RunnerProcess first(Args({}), theirs, "",
                        GetParam().signal == 0 ? std::function<void()>(with_terminal) : nullptr);
    line_->Start();
    ASSERT_TRUE(first.WaitForLine(Having("[1001] round 2"), kGenerous)) << first.Transcript();

    RunnerProcess second(Args({}), line_->test_side_fds());
    EXPECT_EQ(second.Wait(kGenerous), 1) << second.Transcript();
    ASSERT_EQ(second.err().size(), 1u) << second.Transcript();
    EXPECT_TRUE(Contains(second.err()[0], "data folder " + dir.File("data") +
                                              " is in use by another battery32-run (pid "))
        << second.err()[0];
    EXPECT_FALSE(Contains(second.err()[0], "pid unknown")) << second.err()[0];

    if (GetParam().signal == 0) {
        terminal.Close();
    } else {
        first.Signal(GetParam().signal);
    }
    if (!GetParam().stops) {
        EXPECT_TRUE(first.WaitForLine(
            Having("battery32-run: reloaded " + dir.File("site.json") + ": 1 device unchanged"),
            kGenerous));
        ASSERT_TRUE(first.WaitForLine(Having("[1001] round "), kGenerous)) << first.Transcript();
        first.Signal(SIGTERM);
    }
    EXPECT_EQ(first.Wait(kGenerous), 0) << first.Transcript();
    EXPECT_EQ(LinesStartingWith(first.out(), "battery32-run: stopped; 1001: ").size(), 1u)
        << first.Transcript();
    EXPECT_FALSE(Contains(first.Transcript(), "time limit reached")) << first.Transcript();
}

INSTANTIATE_TEST_SUITE_P(QuitHangUpAndTerminalGone, RunnerDataFolderSignal,
                         ::testing::Values(Signalling{"SIGQUIT", SIGQUIT, true},
                                           Signalling{"SIGHUP", SIGHUP, false},
                                           Signalling{"TerminalHangUp", 0, true}),
                         [](const ::testing::TestParamInfo<Signalling>& info) {
                             return std::string(info.param.name);
                         });

// --check after a run passes with one line, and leaves the data folder as it
// was, byte for byte: nothing in it is opened, made or locked, and neither is
// the port (inotify would see an open of either).
TEST_F(RunnerDataFolder, CheckOpensNothingInTheFolderNorThePort) {
    RunnerProcess run(Args({"--rounds", "2"}), line_->test_side_fds());
    line_->Start();
    ASSERT_EQ(run.Wait(kGenerous), 0) << run.Transcript();
    const std::map<std::string, std::string> before = Snapshot(dir.File("data"));
    ASSERT_EQ(before.size(), 5u);  // the lock, the history, the cache, the alarm log, the energy
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(::inotify_add_watch(watch, dir.File("data").c_str(), IN_ALL_EVENTS), 0);
    ASSERT_GE(::inotify_add_watch(watch, line_->path().c_str(), IN_OPEN), 0);

    RunnerProcess check(Args({"--check"}), line_->test_side_fds());
    EXPECT_EQ(check.Wait(kGenerous), 0) << check.Transcript();
    ASSERT_EQ(check.out().size(), 1u) << check.Transcript();
    EXPECT_TRUE(Contains(check.out()[0], "battery32-run: check passed: site " +
                                             dir.File("site.json") + ": 1 device; ") &&
                Contains(check.out()[0], "; 1 port there; data folder " + dir.File("data") +
                                             " writable (nothing was started)"))
        << check.out()[0];
    EXPECT_TRUE(check.err().empty()) << check.Transcript();
    char events[4096];
    EXPECT_LT(::read(watch, events, sizeof events), 0) << "the check opened or changed something";
    ::close(watch);
    EXPECT_EQ(Snapshot(dir.File("data")), before);
}

// Removing the lock file lets no second runner in: the folder itself is
// locked. The first runner says so and writes the lock file anew.
TEST_F(RunnerDataFolder, RemovedLockFileLetsNoSecondRunnerIn) {
    RunnerProcess first(Args({}), line_->test_side_fds());
    line_->Start();
    ASSERT_TRUE(first.WaitForLine(Having("[1001] round 2"), kGenerous)) << first.Transcript();
    const std::string lock = dir.File("data/battery32-run.lock");
    ASSERT_TRUE(std::filesystem::remove(lock));
    ASSERT_TRUE(first.WaitForLine(Having(lock + " was removed or replaced"), kGenerous))
        << first.Transcript();

    RunnerProcess second(Args({}), line_->test_side_fds());
    EXPECT_EQ(second.Wait(kGenerous), 1) << second.Transcript();
    ASSERT_EQ(second.err().size(), 1u) << second.Transcript();
    EXPECT_TRUE(Contains(second.err()[0], "is in use by another battery32-run (pid " +
                                              std::to_string(first.pid()) + ")"))
        << second.err()[0];
    first.Signal(SIGTERM);
    EXPECT_EQ(first.Wait(kGenerous), 0) << first.Transcript();
    EXPECT_EQ(LinesStartingWith(first.err(), "battery32-run: data folder").size(), 1u)
        << first.Transcript();
}

// At the default interval (8 hours) a run keeps only its first record as
// history; the newest goes to the cache, which the next start loads.
TEST_F(RunnerDataFolder, HistoryKeepsTheFirstRecordAndRestartLoadsTheCache) {
    const std::string history = dir.File("data/device-1001.history");
    const std::string cache = dir.File("data/device-1001.cache");
    {
        RunnerProcess run(Args({"--rounds", "3"}), line_->test_side_fds());
        line_->Start();
        ASSERT_EQ(run.Wait(kGenerous), 0) << run.Transcript();
    }
    EXPECT_EQ(HistoryRecords(history).size(), 1u);
    ASSERT_EQ(std::filesystem::file_size(cache), 152u);

    NewLine();
    RunnerProcess again(Args({"--rounds", "1"}), line_->test_side_fds());
    line_->Start();
    ASSERT_EQ(again.Wait(kGenerous), 0) << again.Transcript();
    EXPECT_EQ(LinesStartingWith(again.out(), "battery32-run: [1001] cached record").size(), 1u)
        << again.Transcript();
    EXPECT_TRUE(Contains(again.Transcript(), " from " + cache + " loaded")) << again.Transcript();
    EXPECT_TRUE(Contains(again.Transcript(), "stopped; 1001: 1 round\n")) << again.Transcript();
    EXPECT_EQ(HistoryRecords(history).size(), 2u);
}

TEST(RunnerDataFolderBad, FolderThatCannotBeMadeIsExitOne) {
    TempDir dir;
    dir.Write("plain-file", "");
    dir.Write("site.json", SiteJson({DeviceJson(1, 1, "/dev/null")}));
    const std::string data = dir.File("plain-file/data");
    RunnerProcess run({dir.File("site.json"), "--plugin", BATTERY32_PLUGIN_PATH, "--data", data});
    EXPECT_EQ(run.Wait(kGenerous), 1) << run.Transcript();
    ASSERT_EQ(run.err().size(), 1u) << run.Transcript();
    EXPECT_TRUE(Contains(run.err()[0], "data folder " + data + " cannot be made")) << run.err()[0];
}

}  // namespace
}  // namespace tools_test
