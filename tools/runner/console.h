#pragma once
// Where the runner's own lines go. Records (round lines or JSON) go to the
// records stream; the runner's notes go to stdout, or to stderr when stdout
// carries JSON; problems always go to stderr. Each line is written whole with
// one write(), so lines from different sources never interleave mid-line.

#include <string>

#include "tools/runner/round_output.h"

namespace runner {

class Console {
public:
    // `records_fd` is where stdout pointed before device output was redirected.
    Console(int records_fd, int errors_fd, bool notes_to_errors)
        : records_fd_(records_fd), errors_fd_(errors_fd), notes_to_errors_(notes_to_errors) {}

    void Record(const std::string& line) const;
    // "battery32-run: " + line
    void Note(const std::string& line) const;
    void Problem(const std::string& line) const;
    int records_fd() const { return records_fd_; }

    static void WriteLine(int fd, const std::string& line);

private:
    int records_fd_;
    int errors_fd_;
    bool notes_to_errors_;
};

// The records stream's line for each completed round: the round line, or the
// record as JSON; with `threshold_checks`, the checks made since the last one.
class RoundLines : public RoundOutput {
public:
    RoundLines(const Console& console, bool json, bool threshold_checks)
        : console_(console), json_(json), threshold_checks_(threshold_checks) {}
    void OnRound(const CompletedRound& round) override;

private:
    const Console& console_;
    bool json_;
    bool threshold_checks_;
};

}  // namespace runner
