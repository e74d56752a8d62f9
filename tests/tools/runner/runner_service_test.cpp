// End to end: battery32-run as systemd runs it in the unit of Type=notify,
// with its output in the journal. A listener stands for the service manager
// on $NOTIFY_SOCKET; $JOURNAL_STREAM names the runner's own output stream, as
// systemd sets it. One alarm episode (a sagging cell, then a silent module)
// gives the status lines and the problem lines something to say; a reload
// (SIGHUP, as `systemctl reload` sends it) comes early in it.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tests/tools/support/alarm_episode.h"
#include "tests/tools/support/runner_process.h"
#include "tests/tools/support/test_workspace.h"

namespace tools_test {
namespace {

using namespace std::chrono_literals;

// A service manager's notification socket, under an abstract name, and what
// it receives, one message per datagram, read as it comes (a queue of a few
// datagrams fills fast) until STOPPING=1.
class Manager {
public:
    Manager() : name_("@battery32-test-" + std::to_string(::getpid())) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + 1, name_.data() + 1, name_.size() - 1);
        const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size());
        bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0;
    }
    ~Manager() {
        if (reader_.joinable()) reader_.join();
        ::close(fd_);
    }
    bool bound() const { return bound_; }
    const std::string& name() const { return name_; }
    // After the runner child is forked.
    void Listen() {
        reader_ = std::thread([this] {
            char buffer[4096];
            pollfd waiting{fd_, POLLIN, 0};
            while (::poll(&waiting, 1, 60000) > 0) {
                const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
                if (n <= 0) break;
                told_.emplace_back(buffer, static_cast<std::size_t>(n));
                if (Contains(told_.back(), "STOPPING=1")) break;
            }
        });
    }
    // Every message, once the runner has ended.
    const std::vector<std::string>& Told() {
        if (reader_.joinable()) reader_.join();
        return told_;
    }

private:
    std::string name_;
    int fd_ = -1;
    bool bound_ = false;
    std::thread reader_;
    std::vector<std::string> told_;
};

std::size_t Count(const std::vector<std::string>& messages, const std::string& part) {
    std::size_t n = 0;
    for (const std::string& m : messages) n += Contains(m, part);
    return n;
}

class RunnerService : public PseudoTerminalTest {};

TEST_F(RunnerService, TellsTheManagerAndWritesForTheJournal) {
    Manager manager;
    ASSERT_TRUE(manager.bound());
    SimulatedLine line({EpisodeModule()});
    dir.Write("site.json", EpisodeSite(line.path()));
    std::vector<std::string> more = EpisodeArgs();
    more.insert(more.end(), {"--time-limit", "60"});
    // As systemd starts it: stdout and stderr are one stream, the journal's.
    const auto as_a_service = [&manager] {
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
        struct stat st {};
        ::fstat(STDERR_FILENO, &st);
        const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
        ::setenv("JOURNAL_STREAM", stream.c_str(), 1);
        ::setenv("NOTIFY_SOCKET", manager.name().c_str(), 1);
        ::setenv("WATCHDOG_USEC", "300000", 1);
    };
    RunnerProcess run(RunnerArgs(dir.File("site.json"), "150", {more}), line.test_side_fds(), "",
                      as_a_service);
    manager.Listen();
    line.Start();
    // `systemctl reload`, the site file as it was.
    ASSERT_TRUE(
        run.WaitForLine([](const std::string& l) { return Contains(l, "[1001] round 2 "); }, 60s))
        << run.Transcript();
    run.Signal(SIGHUP);
    ASSERT_EQ(run.Wait(60s), 0) << run.Transcript();
    const std::vector<std::string> told = manager.Told();

    ASSERT_GE(told.size(), 2u);
    EXPECT_EQ(told.front(), "READY=1\nSTATUS=polling 1 device");  // before any WATCHDOG=1
    EXPECT_EQ(told.back(), "STATUS=stopping\nSTOPPING=1");
    // The reload: RELOADING=1 with the monotonic clock's time, then READY=1 as the site polls.
    const auto reloading = std::find_if(
        told.begin(), told.end(), [](const std::string& m) { return Contains(m, "RELOADING=1"); });
    ASSERT_TRUE(reloading != told.end() && reloading + 1 != told.end());
    EXPECT_EQ(reloading->rfind("MONOTONIC_USEC=", 0), 0u) << *reloading;
    EXPECT_TRUE(Contains(*reloading, "\nRELOADING=1\nSTATUS=reloading the site file"))
        << *reloading;
    EXPECT_TRUE(Contains(reloading[1], "READY=1\nSTATUS=polling 1 device")) << reloading[1];
    EXPECT_EQ(Count(told, "RELOADING=1"), 1u);
    EXPECT_EQ(Count(told, "READY=1"), 2u);
    EXPECT_GE(Count(told, "WATCHDOG=1"), 3u);
    // Each alarm raised or cleared brings a status at once (a slow run may
    // add the one due every 10 s): the cell's alarm, then the silent module's.
    EXPECT_GE(Count(told, "STATUS=1 device, "), 4u);
    EXPECT_EQ(Count(told, " rounds/s, 1 alarm active"), 1u);
    EXPECT_EQ(Count(told, " rounds/s, 1 silent, 1 alarm active"), 1u);
    EXPECT_GE(Count(told, " rounds/s, 0 alarms active"), 2u);

    // Problems carry the journal's warning priority, nothing else does, and
    // round and alarm lines leave the time to the journal.
    const std::vector<std::string>& lines = run.err();
    std::size_t problems = 0, notes = 0, rounds = 0, alarms = 0;
    for (const std::string& l : lines) {
        if (l.rfind("<", 0) == 0) {
            EXPECT_EQ(l.rfind("<4>battery32-run: ", 0), 0u) << l;
            ++problems;
        }
        notes += l.rfind("battery32-run: ", 0) == 0;
        if (l.rfind("[1001] round ", 0) == 0) {
            const std::size_t after = l.find_first_not_of("0123456789", 13);
            EXPECT_EQ(l.compare(after, 8, "  group "), 0) << l;  // no time before the readings
            ++rounds;
        }
        alarms += l.rfind("[1001] alarm ", 0) == 0;
    }
    EXPECT_EQ(LinesStartingWith(lines, "<4>battery32-run: [1001] silent: ").size(), 1u)
        << run.Transcript();
    EXPECT_GE(problems, 2u) << run.Transcript();  // silent, answering again
    EXPECT_GE(notes, 3u) << run.Transcript();
    EXPECT_EQ(rounds, 25u) << run.Transcript();
    EXPECT_EQ(alarms, 4u) << run.Transcript();
}

}  // namespace
}  // namespace tools_test
