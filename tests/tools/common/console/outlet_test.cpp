// An outlet in front of a reader that stops reading: nothing waits, every
// line arrives whole and in order or is counted as dropped, and the count is
// said once the reader has caught up.
#include "tools/common/console/outlet.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

namespace tools_test {
namespace {

TEST(Outlet, HoldsWhatASlowReaderLeavesAndCountsWhatItDrops) {
    int pipe_ends[2];
    ASSERT_EQ(::pipe2(pipe_ends, O_CLOEXEC), 0);
    ::fcntl(pipe_ends[1], F_SETPIPE_SZ, 4096);
    ::fcntl(pipe_ends[0], F_SETFL, O_NONBLOCK);
    constexpr int kLines = 2000;  // 200 KB: far more than the pipe and the outlet hold
    std::string received;
    {
        console::Outlet out(pipe_ends[1], "standard output", "prog: ");
        for (int i = 0; i < kLines; ++i)
            out.Line("line " + std::to_string(i) + std::string(90, '.'));
        EXPECT_TRUE(out.holding());
        EXPECT_GT(out.dropped(), 0u);
        // The pipe's own description, shared with other writers, stays blocking.
        EXPECT_EQ(::fcntl(pipe_ends[1], F_GETFL) & O_NONBLOCK, 0);
        char buffer[4096];
        for (int turns = 0; turns < 10000 && (out.holding() || out.dropped() > 0); ++turns) {
            for (ssize_t n; (n = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0;)
                received.append(buffer, static_cast<std::size_t>(n));
            out.Drain();
        }
        EXPECT_FALSE(out.holding());
    }
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0;)
        received.append(buffer, static_cast<std::size_t>(n));
    std::istringstream lines(received);
    std::string line;
    int expected = 0;
    int arrived = 0;
    while (std::getline(lines, line) && line.rfind("line ", 0) == 0) {
        const int number = std::stoi(line.substr(5));
        EXPECT_GE(number, expected) << "out of order";
        EXPECT_EQ(line, "line " + std::to_string(number) + std::string(90, '.')) << "not whole";
        expected = number + 1;
        ++arrived;
    }
    EXPECT_EQ(line, "prog: " + std::to_string(kLines - arrived) +
                        " lines dropped: standard output was not read fast enough");
    EXPECT_FALSE(std::getline(lines, line)) << line;
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
}

}  // namespace
}  // namespace tools_test
