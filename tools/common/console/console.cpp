#include "tools/common/console/console.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/common/descriptor_io.h"
#include "tools/common/exit_status.h"

namespace console {

void Console::WriteLine(int fd, const std::string& line) {
    const std::string text = line + "\n";
    descriptor_io::WriteAll(fd, text.data(), text.size());  // on failure, nowhere to report it
}

void Console::Sink::Write(const std::string& line) const {
    if (outlet != nullptr) {
        outlet->Line(line);
    } else {
        WriteLine(fd, line);
    }
}

void Console::Record(const std::string& line) const {
    records_.Write(line);
    SayIfRecordsFailed();
}

void Console::Note(const std::string& line) const {
    (notes_to_errors_ ? errors_ : records_).Write(prefix_ + line);
    SayIfRecordsFailed();
}

void Console::SayIfRecordsFailed() const {
    if (records_.outlet == nullptr || records_.outlet == errors_.outlet) return;
    const std::string failure = records_.outlet->TakeFailure();
    if (failure.empty()) return;
    Problem(records_.outlet->name() + ": cannot write (" + failure + "); its lines are lost");
}

void Console::Problem(const std::string& line) const { errors_.Write(problem_prefix_ + line); }

bool ToJournal(int fd) {
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat st {};
    return stream != nullptr && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
           ::fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

std::string ProblemPrefix(const char* program, int fd) {
    // Syslog's "warning": a problem is something to look at, the run goes on.
    return std::string(ToJournal(fd) ? "<4>" : "") + program + ": ";
}

std::string Count(std::uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

int SubCommand(const char* usage, bool help, const std::string& fault,
               const std::function<int(const Console&)>& work) {
    const Console console("battery32-run", STDOUT_FILENO, STDERR_FILENO, false);
    if (help) {
        std::string text = usage;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        console.Record(text);
        return exit_status::kOk;
    }
    if (!fault.empty()) {
        console.Problem(fault + " (--help lists the options)");
        return exit_status::kUsage;
    }
    return work(console);
}

bool OutputComplete(const Console& console, const std::string& what) {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    console.Problem(what + ": cannot write the output (" + std::strerror(errno) +
                    "); it is incomplete");
    return false;
}

}  // namespace console
