#pragma once
// battery32-run in a child process for end-to-end tests. The child is forked
// and calls RunnerMain directly instead of exec'ing the program: under
// user-mode emulation of another architecture an exec'd binary would need the
// host's binfmt setup, a fork does not.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tools_test {

class RunnerProcess {
public:
    // Starts RunnerMain(args) in a child; `close_in_child` are descriptors the
    // child must not keep (a pseudo-terminal master held by the test, say).
    // With `stdout_path` the child's standard output goes to that file
    // (/dev/full, say) instead of being read. `in_child` runs in the child
    // just before RunnerMain, its output set up (to set its environment, say).
    explicit RunnerProcess(std::vector<std::string> args, std::vector<int> close_in_child = {},
                           const std::string& stdout_path = "",
                           const std::function<void()>& in_child = nullptr);
    ~RunnerProcess();
    RunnerProcess(const RunnerProcess&) = delete;
    RunnerProcess& operator=(const RunnerProcess&) = delete;

    // Reads output until a line of stdout or stderr satisfies `match`; returns it,
    // or nothing when the child ended or the timeout passed first.
    std::optional<std::string> WaitForLine(const std::function<bool(const std::string&)>& match,
                                           std::chrono::milliseconds timeout);
    // Waits for the child to end, reading all its output. Returns its exit
    // status; -1 if it had to be killed after the timeout, -2 if a signal ended it.
    int Wait(std::chrono::milliseconds timeout);
    void Signal(int signal_number);
    pid_t pid() const { return pid_; }

    const std::vector<std::string>& out() const { return out_; }
    const std::vector<std::string>& err() const { return err_; }
    // All output, for failure messages.
    std::string Transcript() const;

private:
    // Reads what is available within `timeout`; false when both streams ended.
    bool Pump(std::chrono::milliseconds timeout);
    void TakeLines(std::string& partial, std::vector<std::string>& lines, bool flush);

    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_partial_, err_partial_;
    std::vector<std::string> out_, err_;
    std::size_t scanned_out_ = 0, scanned_err_ = 0;
    std::optional<int> status_;
};

// Lines of `lines` that start with `prefix`.
std::vector<std::string> LinesStartingWith(const std::vector<std::string>& lines,
                                           const std::string& prefix);
bool Contains(const std::string& text, const std::string& part);

}  // namespace tools_test
