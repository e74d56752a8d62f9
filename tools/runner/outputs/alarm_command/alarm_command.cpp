#include "tools/runner/outputs/alarm_command/alarm_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/alarm_log/alarm_record.h"
#include "tools/common/time_text.h"

extern char** environ;

namespace runner::outputs {
namespace {

using loop::Clock;

constexpr auto kReapEvery = std::chrono::milliseconds(100);
constexpr char kAlarmVariables[] = "BATTERY32_ALARM_";

// The runner's environment without alarm variables of its own, then the alarm's.
std::vector<std::string> Environment(const std::vector<std::string>& alarm) {
    std::vector<std::string> all;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        if (std::strncmp(*e, kAlarmVariables, sizeof kAlarmVariables - 1) != 0) all.push_back(*e);
    }
    all.insert(all.end(), alarm.begin(), alarm.end());
    return all;
}

// posix_spawn's settings for a child that owes the runner nothing: every
// signal unblocked and at its default (SIGPIPE is ignored here), a process
// group of its own, so that a time limit ends whatever it started too.
class SpawnSettings {
public:
    SpawnSettings() {
        ::posix_spawn_file_actions_init(&actions_);
        ::posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        // Its output goes with the runner's problems, never into the records.
        ::posix_spawn_file_actions_adddup2(&actions_, STDERR_FILENO, STDOUT_FILENO);
        ::posix_spawnattr_init(&attr_);
        sigset_t none;
        ::sigemptyset(&none);
        ::posix_spawnattr_setsigmask(&attr_, &none);
        sigset_t every;
        ::sigfillset(&every);
        ::sigdelset(&every, SIGKILL);
        ::sigdelset(&every, SIGSTOP);
        ::posix_spawnattr_setsigdefault(&attr_, &every);
        ::posix_spawnattr_setpgroup(&attr_, 0);
        ::posix_spawnattr_setflags(
            &attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    }
    ~SpawnSettings() {
        ::posix_spawnattr_destroy(&attr_);
        ::posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;

    const posix_spawn_file_actions_t* actions() const { return &actions_; }
    const posix_spawnattr_t* attr() const { return &attr_; }

private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attr_;
};

}  // namespace

AlarmCommand::AlarmCommand(std::string program, Clock::duration time_limit,
                           const console::Console& console)
    : program_(std::move(program)), time_limit_(time_limit), console_(console) {}

AlarmCommand::~AlarmCommand() {
    for (const Run& run : running_) {
        ::kill(-run.pid, SIGKILL);
        ::waitpid(run.pid, nullptr, 0);
    }
}

void AlarmCommand::OnAlarm(const AlarmChange& change) {
    // An alarm still active from the last stop was told when it was raised.
    if (change.kind == alarm_log::AlarmKind::kActive) return;
    Waiting waiting{alarm_log::AlarmEnvironment(change),
                    std::string(alarm_log::KindName(change.kind)) + " on " +
                        std::to_string(change.data_id) + ", rule " + change.rule + " (" +
                        change.variable + ")"};
    if (running_.size() < kAtOnce) return Spawn(std::move(waiting), Clock::now());
    if (waiting_.size() < kWaiting) {
        waiting_.push_back(std::move(waiting));
        return;
    }
    if (dropped_++ == 0) {
        console_.Problem("alarm command " + program_ + ": " + std::to_string(kAtOnce) +
                         " running and " + std::to_string(kWaiting) +
                         " waiting; further alarms are not passed to it (counted)");
    }
}

void AlarmCommand::Spawn(Waiting waiting, Clock::time_point now) {
    std::vector<std::string> environment = Environment(waiting.environment);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = program_;
    char* argv[] = {program.data(), nullptr};
    const SpawnSettings settings;
    pid_t pid = -1;
    ++started_;
    const int error = ::posix_spawnp(&pid, program_.c_str(), settings.actions(), settings.attr(),
                                     argv, envp.data());
    if (error != 0) {
        ++failed_;
        console_.Problem("alarm command " + program_ + " for the alarm " + waiting.what +
                         ": cannot start it (" + std::strerror(error) + ")");
        return;
    }
    running_.push_back(Run{pid, now + time_limit_, std::move(waiting.what), false});
}

void AlarmCommand::Ended(const Run& run, int status) {
    std::string why;
    if (run.killed) {
        why = "killed after " + time_text::Duration(time_limit_) + " (its time limit)";
    } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        why = "exit status " + std::to_string(WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
        why = std::string("ended by signal ") + std::to_string(WTERMSIG(status)) + " (" +
              ::strsignal(WTERMSIG(status)) + ")";
    }
    if (why.empty()) return;
    ++failed_;
    console_.Problem("alarm command " + program_ + " for the alarm " + run.what + ": " + why);
}

void AlarmCommand::Serve(Clock::time_point now) {
    for (auto it = running_.begin(); it != running_.end();) {
        int status = 0;
        const pid_t done = ::waitpid(it->pid, &status, WNOHANG);
        if (done == it->pid || (done < 0 && errno == ECHILD)) {
            if (done == it->pid) Ended(*it, status);
            it = running_.erase(it);
            continue;
        }
        if (!it->killed && now >= it->deadline) {
            ::kill(-it->pid, SIGKILL);
            it->killed = true;
        }
        ++it;
    }
    while (running_.size() < kAtOnce && !waiting_.empty()) {
        Waiting next = std::move(waiting_.front());
        waiting_.pop_front();
        Spawn(std::move(next), now);
    }
}

void AlarmCommand::AddWaits(std::vector<pollfd>&, Clock::time_point& wake) {
    if (!running_.empty()) wake = std::min(wake, Clock::now() + kReapEvery);
}

void AlarmCommand::HandleWaits(const pollfd*, std::size_t, Clock::time_point now) {
    if (!running_.empty() || !waiting_.empty()) Serve(now);
}

void AlarmCommand::Finish() {
    const auto end = Clock::now() + kFinishGrace;
    for (auto now = Clock::now(); !running_.empty() && now < end; now = Clock::now()) {
        Serve(now);
        if (!running_.empty()) ::poll(nullptr, 0, 20);
    }
    for (const Run& run : running_) {
        ::kill(-run.pid, SIGKILL);
        ::waitpid(run.pid, nullptr, 0);
        ++failed_;
        console_.Problem("alarm command " + program_ + " for the alarm " + run.what +
                         ": still running when the runner stopped; killed");
    }
    running_.clear();
    dropped_ += waiting_.size();
    waiting_.clear();
    const std::string line = "alarm command " + program_ + ": " +
                             console::Count(started_, "run", "runs") + ", " +
                             std::to_string(failed_) + " failed, " +
                             console::Count(dropped_, "alarm", "alarms") + " not passed to it";
    if (failed_ != 0 || dropped_ != 0) {
        console_.Problem(line);
    } else {
        console_.Note(line);
    }
}

}  // namespace runner::outputs
