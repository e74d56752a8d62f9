// Input files named on a command line: only regular files, never waited on,
// never read past their limit.
#include "tools/common/input_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "tests/tools/support/test_workspace.h"

namespace tools_test {
namespace {

TEST(InputFile, ReadsOnlyRegularFilesUpToTheLimit) {
    TempDir dir;
    dir.Write("eight", "12345678");
    ASSERT_EQ(::mkfifo(dir.File("fifo").c_str(), 0600), 0);
    const struct {
        std::string path;
        const char* error;  // "" when read
    } cases[] = {
        {dir.File("eight"), ""},
        {dir.File("fifo"), "not a regular file (a FIFO)"},  // opening it would wait for a writer
        {"/dev/zero", "not a regular file (a character device)"},  // would never end
        {dir.path(), "not a regular file (a directory)"},
        {dir.File("none"), "cannot read (No such file or directory)"},
    };
    for (const auto& c : cases) {
        const input_file::Contents read = input_file::Read(c.path, 8);
        EXPECT_EQ(read.error, c.error) << c.path;
        EXPECT_EQ(read.text, *c.error ? "" : "12345678") << c.path;
        EXPECT_EQ(input_file::RegularFileProblem(c.path), c.error) << c.path;
    }
    EXPECT_EQ(input_file::Read(dir.File("eight"), 7).error, "larger than 7 bytes");
    dir.Write("big", std::string(4 * 1024 * 1024 + 1, ' '));
    EXPECT_EQ(input_file::Read(dir.File("big"), 4 * 1024 * 1024).error, "larger than 4 MiB");
    ::chmod(dir.File("eight").c_str(), 0640);
    const mode_t group_reads = input_file::Read(dir.File("eight"), 8).mode;
    EXPECT_EQ(group_reads, 0640u);
    EXPECT_TRUE(input_file::OthersMayRead(group_reads));
    EXPECT_FALSE(input_file::OthersMayRead(0600));
}

}  // namespace
}  // namespace tools_test
