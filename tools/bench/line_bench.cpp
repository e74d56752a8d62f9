// battery32_line_bench: modules sharing one simulated serial line, polled by
// the runner with the real plug-in for a fixed time. Reports rounds per second
// against what the line can carry, fairness between the devices, the wait
// from each reply's end to the next command, and anything that went wrong on
// the line (collisions, replies to the wrong device, abandoned rounds).
//
// Usage: battery32_line_bench [--modules N --tick-ms T --seconds S]
//                             [--turnaround-ms MS] [--baud B] [--echo]
//                             [--gap-only] [--busy N] [--log FILE]
//        battery32_line_bench --normal-priority [--log FILE]
// Without --modules it runs the standard table (1, 4, 16, 32 modules at tick
// 1000 ms and tick 0) and checks the targets. --normal-priority runs 16
// modules back to back at normal priority, with and without an echoing line,
// two busy processes beside it, and replies ended on the quiet gap alone, and
// checks those targets.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tools/common/command_line.h"
#include "tools/common/console/console.h"
#include "tools/module/module_wire.h"
#include "tools/runner/host/device_chatter.h"
#include "tools/runner/host/plugin.h"
#include "tools/runner/host/simulated_lines.h"
#include "tools/runner/play_host.h"
#include "tools/runner/run_options.h"
#include "tools/sim/sim_config.h"

namespace {

struct Setup {
    int modules = 16;
    int tick_ms = 0;
    double seconds = 20;
    int turnaround_ms = 10;
    int baud = 19200;
    bool echo = false;      // the line echoes every command
    bool gap_only = false;  // replies end on the quiet gap alone, never on their length
    int busy = 0;           // processes spinning beside the run, at the same priority
};

struct Result {
    double rounds_per_second = 0;
    double bound = 0;  // rounds per second the line can carry
    std::uint64_t most = 0, fewest = 0;
    std::uint64_t wrong_device = 0, collisions = 0, abandoned = 0, unanswered = 0;
    double reply_to_command_ms = 0;  // mean, from a reply's last byte to the next command
    double fairness() const { return fewest == 0 ? 1e9 : static_cast<double>(most) / fewest; }
};

// `n` processes that spin until killed: load at the bench's own priority.
std::vector<pid_t> StartBusy(int n) {
    std::vector<pid_t> busy;
    for (int i = 0; i < n; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            for (volatile unsigned long spin = 0;; spin = spin + 1) {
            }
        }
        if (pid > 0) busy.push_back(pid);
    }
    return busy;
}

void StopBusy(const std::vector<pid_t>& busy) {
    for (const pid_t pid : busy) ::kill(pid, SIGKILL);
    for (const pid_t pid : busy) ::waitpid(pid, nullptr, 0);
}

// One round: four 5-byte commands, a 67-byte and three 5-byte replies, and four turnarounds.
double LineBound(const Setup& s) {
    const double bytes =
        4 * module::kCommandLength + module::kCellReplyLength + 3 * module::kValueReplyLength;
    const double round_s = bytes * 10.0 / s.baud + 4 * s.turnaround_ms / 1000.0;
    return 1.0 / round_s;
}

// What the devices and the simulated line did in one run.
Result Tally(const Setup& s, const std::vector<runner::outputs::DeviceStatus>& links,
             const runner::host::SimulatedLines& lines) {
    Result out;
    std::uint64_t total = 0;
    out.fewest = UINT64_MAX;
    for (const auto& l : links) {
        total += l.rounds;
        out.most = std::max(out.most, l.rounds);
        out.fewest = std::min(out.fewest, l.rounds);
        out.wrong_device += l.wrong_replies;
        out.abandoned += l.abandoned;
        out.unanswered += l.unanswered;
    }
    out.collisions = lines.collisions();
    const auto waits = lines.reply_to_command();
    if (waits.count > 0) {
        out.reply_to_command_ms =
            std::chrono::duration<double, std::milli>(waits.total).count() / waits.count;
    }
    out.rounds_per_second = static_cast<double>(total) / s.seconds;
    out.bound = LineBound(s);
    return out;
}

Result RunOnce(const Setup& s, const runner::host::Plugin& plugin, int log_fd,
               const std::string& data) {
    runner::site::Site site;
    site.path = "(bench)";
    sim::SimConfig modules;
    for (int i = 0; i < s.modules; ++i) {
        runner::site::SiteDevice d;
        d.data_id = static_cast<std::uint32_t>(2001 + i);
        d.address = static_cast<std::uint8_t>(i + 1);
        d.port = "/dev/ttyBENCH";
        d.settings["appSetting"]["b_mode"] = "1";
        site.devices.push_back(d);
        module::ModuleConfig m = module::DefaultModule(d.address);
        m.reply_delay = std::chrono::milliseconds(s.turnaround_ms);
        modules.modules.push_back(m);
    }
    modules.echo.on = s.echo;
    runner::RunOptions o;
    o.simulate = true;
    o.end_reply_on_length = !s.gap_only;
    o.sim_baud = s.baud;
    o.tick_ms = s.tick_ms;
    o.time_limit_s = s.seconds;
    o.data_dir = data;
    o.use_cache = false;
    o.device_log = "off";

    // Before the simulator's thread: a fork copies only the forking thread.
    const std::vector<pid_t> busy = StartBusy(s.busy);
    runner::host::SimulatedLines lines;
    lines.SetUp(site, modules, s.baud);
    const console::Console console("battery32-run", log_fd, log_fd, false);
    runner::host::DeviceChatter chatter;
    chatter.Begin(nullptr);
    std::vector<runner::outputs::DeviceStatus> links;
    int stop[2];
    if (::pipe(stop) != 0) std::exit(1);
    runner::PollWithOutputs(o, console, site, plugin, chatter, stop[0], &links);
    chatter.End();
    lines.Stop();
    StopBusy(busy);
    ::close(stop[0]);
    ::close(stop[1]);

    return Tally(s, links, lines);
}

void PrintHeader() {
    std::printf(
        "| modules | tick | line | reply ends | busy | seconds | rounds/s | line bound | ratio | "
        "rounds per device (fewest..most) | fairness | reply to next command | wrong device | "
        "collisions | abandoned | unanswered |\n");
    std::printf(
        "| --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- "
        "| --- |\n");
}

void PrintRow(const Setup& s, const Result& r) {
    std::printf(
        "| %d | %s | %s | %s | %d | %.0f | %.2f | %.2f | %.1f%% | %llu..%llu | %.3f | %.2f ms | "
        "%llu | %llu | %llu | %llu |\n",
        s.modules, s.tick_ms ? (std::to_string(s.tick_ms) + " ms").c_str() : "0",
        s.echo ? "echoes" : "plain", s.gap_only ? "gap" : "length", s.busy, s.seconds,
        r.rounds_per_second, r.bound, 100.0 * r.rounds_per_second / r.bound,
        static_cast<unsigned long long>(r.fewest), static_cast<unsigned long long>(r.most),
        r.fairness(), r.reply_to_command_ms, static_cast<unsigned long long>(r.wrong_device),
        static_cast<unsigned long long>(r.collisions), static_cast<unsigned long long>(r.abandoned),
        static_cast<unsigned long long>(r.unanswered));
    std::fflush(stdout);
}

// The targets; empty when met, else what missed.
std::string Verdict(const Setup& s, const Result& r) {
    std::string missed;
    auto need = [&](bool ok, const char* what) {
        if (!ok) missed += std::string(missed.empty() ? "" : "; ") + what;
    };
    const bool clean = r.collisions == 0 && r.wrong_device == 0 && r.abandoned == 0;
    if (s.tick_ms == 0 && s.modules == 16) {
        need(r.rounds_per_second >= 0.85 * r.bound, "at least 85% of the line bound");
        need(r.fairness() <= 1.1, "fairness at most 1.1");
        need(clean, "no collisions, wrong-device replies or abandoned rounds");
    } else if (s.tick_ms == 1000 && s.modules == 4) {
        const double per_device = s.seconds;
        need(static_cast<double>(r.fewest) >= per_device - 1 &&
                 static_cast<double>(r.most) <= per_device + 1,
             "one round per tick per device, within one round");
    } else if (s.tick_ms == 1000 && s.modules == 16) {
        need(r.rounds_per_second >= 0.85 * r.bound, "rounds at the line's pace (85% of the bound)");
        need(r.fairness() <= 1.1, "fairness at most 1.1");
        need(r.collisions == 0, "no collisions");
    } else {
        return "-";
    }
    return missed.empty() ? "met" : "NOT met: " + missed;
}

// The command line into `one` (`single` when it names one setup, `normal`
// for the normal-priority table); "" or the fault.
std::string ReadArguments(int argc, char** argv, Setup* one, bool* single, bool* normal,
                          std::string* log_path) {
    using command_line::Number;
    const std::vector<command_line::Option> options = {
        {"modules", "N", nullptr, "a number of modules, 1..250",
         [one, single](const std::string& text, std::string* fault) {
             *single = true;
             return Number(&one->modules, 1, 250)(text, fault);
         }},
        {"tick-ms", "T", nullptr, "milliseconds, 0..3600000", Number(&one->tick_ms, 0, 3600000)},
        {"seconds", "S", nullptr, "a positive number of seconds",
         command_line::Seconds(&one->seconds)},
        {"turnaround-ms", "MS", nullptr, "milliseconds, 0..60000",
         Number(&one->turnaround_ms, 0, 60000)},
        {"baud", "B", nullptr, "a line speed, 1..4000000", Number(&one->baud, 1, 4000000)},
        {"echo", nullptr, nullptr, nullptr, command_line::Flag(&one->echo)},
        {"gap-only", nullptr, nullptr, nullptr, command_line::Flag(&one->gap_only)},
        {"busy", "N", nullptr, "a number of processes, 0..16", Number(&one->busy, 0, 16)},
        {"normal-priority", nullptr, nullptr, nullptr, command_line::Flag(normal)},
        {"log", "FILE", nullptr, nullptr, command_line::Text(log_path)},
    };
    return command_line::Walk({argv + (argc > 0 ? 1 : 0), argv + argc}, options);
}

// The standard table built on `one`.
std::vector<Setup> StandardRuns(const Setup& one) {
    std::vector<Setup> runs;
    // Long enough that every device completes at least 10 rounds.
    const std::pair<int, double> sizes[] = {{1, 10}, {4, 30}, {16, 20}, {32, 40}};
    for (const int tick : {1000, 0}) {
        for (const auto& [modules, seconds] : sizes) {
            Setup s = one;
            s.modules = modules;
            s.tick_ms = tick;
            s.seconds = tick == 0 && modules < 16 ? 10 : seconds;
            runs.push_back(s);
        }
    }
    return runs;
}

// 16 modules back to back, without and with two busy processes: a plain line
// and an echoing one with replies ended on their length, and the plain line
// with the quiet gap alone. Long enough for 25 rounds per device even at 90%
// of the bound: below that, fairness is decided by rounding.
std::vector<Setup> NormalPriorityRuns(const Setup& one) {
    std::vector<Setup> runs;
    for (const int busy : {0, 2}) {
        for (const auto& [echo, gap_only] :
             {std::pair{false, false}, {true, false}, {false, true}}) {
            Setup s = one;
            s.modules = 16;
            s.tick_ms = 0;
            s.seconds = 45;
            s.echo = echo;
            s.gap_only = gap_only;
            s.busy = busy;
            runs.push_back(s);
        }
    }
    return runs;
}

using Measured = std::vector<std::pair<Setup, Result>>;

// The targets of the normal-priority table, one line each.
std::vector<std::string> NormalPriorityVerdicts(const Measured& measured) {
    std::vector<std::string> lines;
    const auto find = [&](int busy, bool echo, bool gap_only) -> const Result* {
        for (const auto& [s, r] : measured)
            if (s.busy == busy && s.echo == echo && s.gap_only == gap_only) return &r;
        return nullptr;
    };
    for (const int busy : {0, 2}) {
        const Result* plain = find(busy, false, false);
        const Result* echo = find(busy, true, false);
        if (plain == nullptr || echo == nullptr) continue;
        const double floor = busy == 0 ? 0.95 : 0.92;
        const auto clean = [](const Result& r) {
            return r.collisions == 0 && r.fairness() <= 1.05;
        };
        const std::string load = busy == 0 ? "no other load" : std::to_string(busy) + " busy";
        char line[200];
        std::snprintf(
            line, sizeof line,
            "target, 16 modules, normal priority, %s: >= %.0f%% of the bound, 0 "
            "collisions, fairness <= 1.05: %s",
            load.c_str(), floor * 100,
            plain->rounds_per_second >= floor * plain->bound && clean(*plain) ? "met" : "NOT met");
        lines.push_back(line);
        std::snprintf(line, sizeof line,
                      "target, the same on an echoing line, %s: within 3%% (%.1f%%), 0 collisions, "
                      "fairness <= 1.05: %s",
                      load.c_str(), 100.0 * echo->rounds_per_second / plain->rounds_per_second,
                      echo->rounds_per_second >= 0.97 * plain->rounds_per_second && clean(*echo)
                          ? "met"
                          : "NOT met");
        lines.push_back(line);
    }
    return lines;
}

// Below real time: the normal-priority table measures what a gateway sharing
// its machine gets. Lowering one's own priority needs no privilege.
std::string DropToNormalPriority() {
    sched_param normal{};
    normal.sched_priority = 0;
    if (::sched_setscheduler(0, SCHED_OTHER, &normal) != 0) return "cannot leave real time";
    const int nice = ::getpriority(PRIO_PROCESS, 0);
    return "normal (SCHED_OTHER, nice " + std::to_string(nice) + ")";
}

// Runs `runs`, a row each.
Measured RunAll(const std::vector<Setup>& runs, const runner::host::Plugin& plugin, int log_fd,
                const std::string& data) {
    Measured measured;
    PrintHeader();
    for (const Setup& s : runs) {
        const Result r = RunOnce(s, plugin, log_fd, data);
        PrintRow(s, r);
        measured.emplace_back(s, r);
    }
    std::printf("\n");
    return measured;
}

// Prints the verdicts; true when every target was met.
bool Report(const Measured& measured, bool normal) {
    std::vector<std::string> lines;
    if (normal) lines = NormalPriorityVerdicts(measured);
    for (const auto& [s, r] : normal ? Measured{} : measured) {
        const std::string verdict = Verdict(s, r);
        if (verdict == "-") continue;
        lines.push_back("target, " + std::to_string(s.modules) + " modules at tick " +
                        std::to_string(s.tick_ms) + " ms: " + verdict);
    }
    bool all_met = true;
    for (const std::string& line : lines) {
        std::printf("%s\n", line.c_str());
        all_met = all_met && line.find("NOT met") == std::string::npos;
    }
    return all_met;
}

}  // namespace

int main(int argc, char** argv) {
    Setup one;
    bool single = false, normal = false;
    std::string log_path = "line_bench.log";
    if (const std::string fault = ReadArguments(argc, argv, &one, &single, &normal, &log_path);
        !fault.empty()) {
        std::fprintf(stderr, "battery32_line_bench: %s\n", fault.c_str());
        return 2;
    }
    const int log_fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log_fd < 0) {
        std::perror(log_path.c_str());
        return 1;
    }
    const runner::host::Plugin plugin(BATTERY32_BUILT_PLUGIN);
    const std::string data = std::filesystem::temp_directory_path() /
                             ("battery32-line-bench-" + std::to_string(::getpid()));

    std::printf("one simulated %d-baud line, %d ms turnaround; runner notes in %s\n", one.baud,
                one.turnaround_ms, log_path.c_str());
    if (normal) std::printf("priority: %s\n", DropToNormalPriority().c_str());
    std::printf("\n");
    const Measured measured = RunAll(single   ? std::vector<Setup>{one}
                                     : normal ? NormalPriorityRuns(one)
                                              : StandardRuns(one),
                                     plugin, log_fd, data);
    const bool all_met = Report(measured, normal && !single);
    std::error_code ec;
    std::filesystem::remove_all(data, ec);
    ::close(log_fd);
    return all_met ? 0 : 1;
}
