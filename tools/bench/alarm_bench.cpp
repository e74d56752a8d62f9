// battery32_alarm_bench: what the host's alarm evaluation costs, in one run.
//
// 1. The evaluation alone: 16 devices, each with 4 rules (group voltage low
//    and high, current high, temperature high) and 2 rules on every cell
//    (low, high): 68 alarms a device. One round submits 35 values a device,
//    under the device's own names, all within limits (the steady state), then
//    again with one alarm of every rule active. Time per device round, and
//    heap allocations per submission (every operator new is counted).
// 2. The runner's own CPU per round: the runner polls 16 simulated modules,
//    their devices carrying the same rules, with its console and history
//    outputs, back to back (tick 0, modules answering at once), for a fixed
//    time; the CPU time of its thread (the modules run in threads of their
//    own) divided by the rounds completed.
// The evaluation's share of a round is (1) over (2).
//
// Usage: battery32_alarm_bench [--seconds S] [--log FILE]

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "tools/bench/counting_new.h"
#include "tools/common/command_line.h"
#include "tools/common/console/console.h"
#include "tools/module/module_config.h"
#include "tools/runner/alarms/device_alarms.h"
#include "tools/runner/host/device_chatter.h"
#include "tools/runner/host/plugin.h"
#include "tools/runner/host/simulated_lines.h"
#include "tools/runner/play_host.h"
#include "tools/runner/run_options.h"
#include "tools/sim/sim_config.h"

namespace {

using runner::alarms::AlarmRule;
using runner::alarms::DeviceAlarms;
using runner::alarms::Moment;

constexpr int kDevices = 16;
constexpr int kValues = 35;

struct Counting : runner::alarms::AlarmListener {
    void AlarmChanged(const runner::outputs::AlarmChange&) override { ++changes; }
    std::uint64_t changes = 0;
};

std::vector<AlarmRule> Rules() {
    using namespace runner::alarms;
    const std::chrono::milliseconds none{0};
    return {{"group_low", kGroupVoltage, false, 380, 390, 2, none, "12;3;1;"},
            {"group_high", kGroupVoltage, true, 460, 450, 2, none, "12;3;2;"},
            {"current_high", kGroupCurrent, true, 100, 90, 2, none, "12;3;3;"},
            {"hot", kTemperature, true, 45, 40, 3, none, "12;3;4;"},
            {"cell_low", kEveryCell, false, 12.0f, 12.5f, 2, none, "12;3;5;"},
            {"cell_high", kEveryCell, true, 14.4f, 14.2f, 2, none, "12;3;6;"}};
}

// The names and display names the device submits under, built once as it does.
struct Submissions {
    std::vector<std::string> names, display;
    std::vector<float> values;
    Submissions() {
        names = {"group_voltage", "group_current", "temperature"};
        display = {"整组电压", "电流", "温度"};
        values = {400.0f, 12.3f, 25.5f};
        for (int i = 0; i < 32; ++i) {
            names.push_back("battery_" + std::to_string(i) + "_value");
            display.push_back("第" + std::to_string(i + 1) + "节电池");
            values.push_back(12.5f + 0.01f * static_cast<float>(i % 5));
        }
    }
};

struct Evaluation {
    double ns_per_device_round = 0;
    double allocations_per_submission = 0;
};

Evaluation TimeEvaluation(const Submissions& s, int rounds) {
    std::vector<DeviceAlarms> devices;
    for (int d = 0; d < kDevices; ++d) devices.emplace_back(2001 + d, Rules(), 2);
    Counting to;
    const auto round = [&] {
        for (DeviceAlarms& device : devices) {
            for (int v = 0; v < kValues; ++v) {
                Moment now;
                device.Check(s.names[v], s.display[v], s.values[v], now, to);
            }
        }
    };
    for (int i = 0; i < 3; ++i) round();  // alarms raised (if any) before measuring
    const std::uint64_t before = alloc_count::Now().allocations;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) round();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const std::uint64_t allocations = alloc_count::Now().allocations - before;
    const double device_rounds = static_cast<double>(rounds) * kDevices;
    return {std::chrono::duration<double, std::nano>(elapsed).count() / device_rounds,
            static_cast<double>(allocations) / (device_rounds * kValues)};
}

double ThreadCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The runner's thread CPU per device round and the rounds it completed.
std::pair<double, std::uint64_t> RunnerCpuPerRound(double seconds, int log_fd) {
    runner::site::Site site;
    site.path = "(bench)";
    sim::SimConfig modules;
    for (int i = 0; i < kDevices; ++i) {
        runner::site::SiteDevice d;
        d.data_id = static_cast<std::uint32_t>(2001 + i);
        d.address = static_cast<std::uint8_t>(i + 1);
        d.port = "/dev/ttyBENCH";
        d.settings["appSetting"]["b_mode"] = "1";
        d.alarm_rules = Rules();
        site.devices.push_back(d);
        modules.modules.push_back(module::DefaultModule(d.address));
    }
    const std::string data = std::filesystem::temp_directory_path() / "battery32-alarm-bench";
    std::filesystem::remove_all(data);
    runner::RunOptions o;
    o.simulate = true;
    o.sim_baud = 0;
    o.tick_ms = 0;
    o.time_limit_s = seconds;
    o.data_dir = data;
    o.use_cache = false;
    o.device_log = "off";
    runner::host::SimulatedLines lines;
    lines.SetUp(site, modules, 0);
    const console::Console console("battery32-run", log_fd, log_fd, false);
    const runner::host::Plugin plugin(BATTERY32_BUILT_PLUGIN);
    runner::host::DeviceChatter chatter;
    chatter.Begin(nullptr);
    std::vector<runner::outputs::DeviceStatus> links;
    int stop[2];
    if (::pipe(stop) != 0) std::exit(1);
    const double cpu_before = ThreadCpuSeconds();
    runner::PollWithOutputs(o, console, site, plugin, chatter, stop[0], &links);
    const double cpu = ThreadCpuSeconds() - cpu_before;
    chatter.End();
    lines.Stop();
    ::close(stop[0]);
    ::close(stop[1]);
    std::filesystem::remove_all(data);
    std::uint64_t rounds = 0;
    for (const auto& l : links) rounds += l.rounds;
    return {rounds ? cpu * 1e9 / static_cast<double>(rounds) : 0.0, rounds};
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    std::string log_path = "/dev/null";
    const std::string fault = command_line::Walk(
        {argv + (argc > 0 ? 1 : 0), argv + argc},
        {{"seconds", "S", nullptr, "a positive number of seconds", command_line::Seconds(&seconds)},
         {"log", "FILE", nullptr, nullptr, command_line::Text(&log_path)}});
    if (!fault.empty()) {
        std::fprintf(stderr, "battery32_alarm_bench: %s\n", fault.c_str());
        return 2;
    }
    const int log_fd = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    Submissions steady;
    const Evaluation quiet = TimeEvaluation(steady, 20000);
    Submissions alarmed = steady;  // one alarm of every rule active throughout
    alarmed.values[0] = 370.0f;
    alarmed.values[1] = 120.0f;
    alarmed.values[2] = 50.0f;
    alarmed.values[5] = 11.0f;
    alarmed.values[6] = 15.0f;
    const Evaluation active = TimeEvaluation(alarmed, 20000);
    const auto [runner_ns, rounds] = RunnerCpuPerRound(seconds, log_fd);
    const double share = 100.0 * quiet.ns_per_device_round / runner_ns;
    std::printf("| what | figure |\n| --- | --- |\n");
    std::printf("| evaluation per device round (35 values, 68 alarms), none active | %.0f ns |\n",
                quiet.ns_per_device_round);
    std::printf("| the same with 6 alarms active throughout | %.0f ns |\n",
                active.ns_per_device_round);
    std::printf("| evaluation per site round (16 devices) | %.1f us |\n",
                quiet.ns_per_device_round * kDevices / 1000);
    std::printf("| heap allocations per submission, steady / with alarms active | %.3f / %.3f |\n",
                quiet.allocations_per_submission, active.allocations_per_submission);
    std::printf(
        "| runner thread CPU per device round (%llu rounds in %.0f s, alarms included) | "
        "%.1f us |\n",
        static_cast<unsigned long long>(rounds), seconds, runner_ns / 1000);
    std::printf("| evaluation's share of the runner's CPU per round | %.2f%% |\n", share);
    const bool met = share < 2.0 && quiet.allocations_per_submission == 0 &&
                     active.allocations_per_submission == 0;
    std::printf(
        "\n[targets: under 2%% of the runner's CPU per round, 0 allocations per "
        "submission: %s]\n",
        met ? "met" : "NOT met");
    if (log_fd >= 0) ::close(log_fd);
    return met ? 0 : 1;
}
