#include "tools/common/console.h"

#include "tools/common/descriptor_io.h"

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

void Console::Problem(const std::string& line) const { errors_.Write(prefix_ + line); }

}  // namespace console
