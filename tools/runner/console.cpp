#include "tools/runner/console.h"

#include "tools/common/descriptor_io.h"
#include "tools/record/record_format.h"

namespace runner {

void Console::WriteLine(int fd, const std::string& line) {
    const std::string text = line + "\n";
    descriptor_io::WriteAll(fd, text.data(), text.size());  // on failure, nowhere to report it
}

void Console::Record(const std::string& line) const { WriteLine(records_fd_, line); }

void Console::Note(const std::string& line) const {
    WriteLine(notes_to_errors_ ? errors_fd_ : records_fd_, "battery32-run: " + line);
}

void Console::Problem(const std::string& line) const {
    WriteLine(errors_fd_, "battery32-run: " + line);
}

void RoundLines::OnRound(const CompletedRound& round) {
    const std::uint64_t number = round.device.rounds;
    const auto checks = threshold_checks_ ? std::optional(round.threshold_checks) : std::nullopt;
    if (round.record == nullptr) {
        console_.Record("[" + std::to_string(round.device.data_id) + "] round " +
                        std::to_string(number) + "  published " + std::to_string(round.length) +
                        " bytes of type " + std::to_string(round.type_id) +
                        " (not a 32-cell record)");
    } else if (json_) {
        console_.Record(record_tools::JsonLine(*round.record, number, checks));
    } else {
        console_.Record(record_tools::RoundLine(*round.record, number, checks));
    }
}

}  // namespace runner
