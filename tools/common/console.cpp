#include "tools/common/console.h"

#include "tools/common/descriptor_io.h"

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

}  // namespace console
