#include "tools/common/console.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tools/common/descriptor_io.h"
#include "tools/common/exit_status.h"

namespace console {

void Console::WriteLine(int fd, const std::string& line) {
    const std::string text = line + "\n";
    descriptor_io::WriteAll(fd, text.data(), text.size());  // on failure, nowhere to report it
}

void Console::Record(const std::string& line) const { WriteLine(records_fd_, line); }

void Console::Note(const std::string& line) const {
    WriteLine(notes_to_errors_ ? errors_fd_ : records_fd_, prefix_ + line);
}

void Console::Problem(const std::string& line) const { WriteLine(errors_fd_, prefix_ + line); }

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
