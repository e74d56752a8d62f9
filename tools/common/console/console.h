#pragma once
// Where a program's own lines go. Records (round lines or JSON) go to the
// records stream; notes go to stdout, or to stderr when stdout carries JSON;
// problems always go to stderr. Notes and problems start with the program's
// name ("battery32-run: "). Each line is written whole with one write(), so
// lines from different sources never interleave mid-line.
//
// Written straight to descriptors, a line waits for its reader; written
// through outlets (outlet.h), as battery32-run does while it polls, it never
// waits: a reader that does not keep up loses lines, counted, instead.
//
// Started by systemd with its output in the journal, problem lines begin with
// the syslog priority "<4>" (warning), which the journal takes off and keeps
// as the line's priority: `journalctl -p warning` shows the problems alone.

#include <cstdint>
#include <functional>
#include <string>

#include "tools/common/console/outlet.h"

namespace console {

// Whether `fd` is the stream through which systemd passes this program's
// output to the journal (the one $JOURNAL_STREAM names by device and inode).
bool ToJournal(int fd);

// How a problem line on `fd` begins: "<4>" when it goes to the journal, then
// "`program`: ".
std::string ProblemPrefix(const char* program, int fd);

class Console {
public:
    // `records_fd` is where stdout pointed before device output was redirected.
    Console(const char* program, int records_fd, int errors_fd, bool notes_to_errors)
        : prefix_(std::string(program) + ": "),
          problem_prefix_(ProblemPrefix(program, errors_fd)),
          records_{records_fd, nullptr},
          errors_{errors_fd, nullptr},
          notes_to_errors_(notes_to_errors),
          to_journal_(ToJournal(records_fd)) {}
    Console(const char* program, Outlet& records, Outlet& errors, bool notes_to_errors)
        : prefix_(std::string(program) + ": "),
          problem_prefix_(ProblemPrefix(program, errors.fd())),
          records_{records.fd(), &records},
          errors_{errors.fd(), &errors},
          notes_to_errors_(notes_to_errors),
          to_journal_(ToJournal(records.fd())) {}

    void Record(const std::string& line) const;
    // The program's name, ": " and the line.
    void Note(const std::string& line) const;
    void Problem(const std::string& line) const;
    // The outlets lines go through; null when written straight to descriptors.
    Outlet* records_outlet() const { return records_.outlet; }
    Outlet* errors_outlet() const { return errors_.outlet; }
    // Whether records go to the journal, which stamps every line with its
    // time: a record line then need not carry the time as well.
    bool to_journal() const { return to_journal_; }

    static void WriteLine(int fd, const std::string& line);

private:
    // One problem line once the records' outlet fails for good.
    void SayIfRecordsFailed() const;

    struct Sink {
        int fd;
        Outlet* outlet;
        void Write(const std::string& line) const;
    };

    std::string prefix_;
    std::string problem_prefix_;
    Sink records_;
    Sink errors_;
    bool notes_to_errors_;
    bool to_journal_;
};

// "1 command", "3 commands": a count with the word that goes with it.
std::string Count(std::uint64_t n, const char* one, const char* many);

// How battery32-run's sub-commands (decode, alarms, scan) answer: with `help` their
// usage on stdout (exit 0); with a `fault` in their command line one line on
// stderr (exit 2); otherwise what `work` returns, given the console to write to.
int SubCommand(const char* usage, bool help, const std::string& fault,
               const std::function<int(const Console&)>& work);

// Flushes standard output. False after one problem line ("`what`: cannot
// write the output (reason); it is incomplete") when what was printed did not
// all get out: a full disk must not end a listing with exit 0.
bool OutputComplete(const Console& console, const std::string& what);

}  // namespace console
