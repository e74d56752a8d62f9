// A line's turns against a pseudo-terminal: when a pass of the loop runs long
// (other lines' devices, the web view), the rest of a reply that came
// meanwhile is still read before the reply is judged complete.
#include "tools/runner/line/line_turns.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "tests/tools/support/test_workspace.h"
#include "tools/sim/pty_pair.h"

namespace tools_test {
namespace {

using namespace std::chrono_literals;
using runner::line::CallResult;
using Clock = std::chrono::steady_clock;

// One device that sends a command on its turn and keeps every burst handed to it.
class OneDevice : public runner::line::LineDevices {
public:
    CallResult Tick(std::size_t device) override {
        static const std::uint8_t kCommand[] = {0xFE, 0xFE, 0x01, 0xA1, 0xA2};
        return CallResult{turns->Send(device, kCommand, sizeof kCommand), true, false};
    }
    CallResult Hand(std::size_t, std::uint8_t* burst, std::size_t length) override {
        bursts.emplace_back(burst, burst + length);
        return CallResult{false, false, true};
    }
    bool MayStart(std::size_t, Clock::time_point) const override { return true; }

    runner::line::LineTurns* turns = nullptr;
    std::vector<std::vector<std::uint8_t>> bursts;
};

TEST(LineTurns, ReplyThatFinishesDuringALongPassIsHandedOverWhole) {
    std::string why;
    if (!PseudoTerminalsWork(&why)) GTEST_SKIP() << why;
    sim::PtyPair pty;
    const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const console::Console console("test", quiet, quiet, false);
    runner::line::LinkStatus status;
    runner::line::LinkTracker link(status);
    runner::line::LineSettings settings;
    settings.port.path = pty.slave_path();
    settings.port.baud = 19200;
    settings.port.burst_gap = 2ms;
    settings.port.reopen_period = 5s;
    // Only the quiet gap ends a reply here: a reply ended on its length would
    // hide what this test looks at.
    settings.port.end_reply_on_length = false;
    settings.reply_timeout = 5s;
    settings.tick = 1s;
    OneDevice device;
    runner::line::LineTurns turns(settings, {{0, "1001", 1, &link}}, device, console);
    device.turns = &turns;
    ASSERT_TRUE(turns.OpenIfDue(Clock::now()));
    turns.HandleWaits(nullptr, 0, Clock::now());  // the device's turn: its command goes out
    std::uint8_t command[16];
    ASSERT_EQ(::read(pty.master_fd(), command, sizeof command), 5);

    // One pass: the wait says the port is readable and the first half is read.
    const std::vector<std::uint8_t> reply = {0xED, 0x01, 0x09, 0xE2, 0xEC, 0x10, 0x20, 0x30};
    ASSERT_EQ(::write(pty.master_fd(), reply.data(), 4), 4);
    std::vector<pollfd> fds;
    auto wake = Clock::time_point::max();
    turns.AddWaits(fds, wake);
    ASSERT_EQ(fds.size(), 1u);
    ASSERT_EQ(::poll(fds.data(), 1, 2000), 1);
    turns.HandleWaits(fds.data(), 1, Clock::now());
    // The rest comes while the pass runs long, after its wait looked at the port.
    fds[0].revents = 0;
    ASSERT_EQ(::write(pty.master_fd(), reply.data() + 4, 4), 4);
    std::this_thread::sleep_for(20ms);
    turns.HandleWaits(fds.data(), 1, Clock::now());
    std::this_thread::sleep_for(20ms);
    turns.HandleWaits(fds.data(), 1, Clock::now());
    EXPECT_EQ(device.bursts, std::vector<std::vector<std::uint8_t>>{reply});
    ::close(quiet);
}

}  // namespace
}  // namespace tools_test
