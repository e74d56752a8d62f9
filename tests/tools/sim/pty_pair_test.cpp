// The pseudo-terminal that stands in for a serial cable, and its stable name.

#include "tools/sim/pty_pair.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "tests/tools/support/test_workspace.h"

namespace sim {
namespace {

// --link points a name at the pseudo-terminal: a stale link is replaced, a
// file the user keeps under that name is not.
TEST(SimulatorLink, ReplacesOnlyASymbolicLink) {
    tools_test::TempDir dir;
    const std::string link = dir.File("ttyBATTERY");
    EXPECT_EQ(sim::LinkPath("/dev/pts/98", link), "");
    EXPECT_EQ(sim::LinkPath("/dev/pts/99", link), "");
    char target[64] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/pts/99");

    const std::string kept = dir.File("notes.txt");
    dir.Write("notes.txt", "keep me");
    EXPECT_NE(sim::LinkPath("/dev/pts/99", kept).find("not a symbolic link"), std::string::npos);
    std::ifstream in(kept);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
              "keep me");
}

}  // namespace
}  // namespace sim
