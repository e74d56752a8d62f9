// Benchmarks of the 32-cell battery device: one complete polling round, the
// value lookup against a std::regex yardstick, heap allocations per round and
// per lookup, and the memory one device holds once configured.
//
// The host is the stand-in with no HostEvents installed, so every host service
// the device calls returns at once and what is timed is the device. The device
// prints progress lines on std::cout in every round; while a benchmark runs,
// std::cout's buffer is swapped for one writing to /dev/null ("devnull": the
// formatting and the write(2) calls are paid, the terminal is not) or taken
// away altogether ("no_output": the stream is bad, so nothing is formatted).
// The results are printed through the original buffer, never through the swap.

#include <benchmark/benchmark.h>
#include <json/value.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "battery32/battery32.h"
#include "battery32/cell_name.h"
#include "host/stand_in/host_events.h"
#include "tests/support/cout_capture.h"
#include "tools/bench/counting_new.h"
#include "tools/bench/regex_lookup.h"
#include "tools/module/module_wire.h"

namespace {

// ---------------------------------------------------------------------------
// Standard output while the device runs.

enum class Output { kDevNull, kNone };

std::filebuf& DevNull() {
    // Opened once, before anything is counted: opening allocates its buffer.
    static std::filebuf* buf = [] {
        auto* b = new std::filebuf;
        if (b->open("/dev/null", std::ios::out) == nullptr) {
            std::fprintf(stderr, "battery32_bench: cannot open /dev/null\n");
            std::exit(2);
        }
        return b;
    }();
    return *buf;
}

// Standard output for as long as it lives, as `output` says.
struct CoutRedirect : test_support::CoutRedirect {
    explicit CoutRedirect(Output output)
        : test_support::CoutRedirect(output == Output::kDevNull ? &DevNull() : nullptr) {}
};

// ---------------------------------------------------------------------------
// A configured device and the module's replies to it.

constexpr std::uint32_t kDataId = 7001;
constexpr unsigned char kHostAddress = 0x81;      // wire address 0x01 once configured
constexpr std::uint16_t kCellRaw = 1250;          // 12.50 V per cell
constexpr std::uint16_t kGroupVoltageRaw = 4000;  // 400.0 V
constexpr std::uint16_t kCurrentRaw = 123;        // 12.3 A
constexpr std::uint16_t kTemperatureRaw = 2550;   // 25.50 C
constexpr int kWarmUpRounds = 3;
constexpr int kChecksPerRound = 3 + kBattery32Cells;

// What a site configures for one 32-cell string: every cell checked, threshold
// mode with a few alarm rules.
Json::Value TypicalSettings() {
    Json::Value settings(Json::objectValue);
    Json::Value& app = settings["appSetting"];
    app["battery_type"] = "2";
    app["version"] = "1";
    app["dir"] = "0";
    app["group_a"] = "1";
    app["group_b"] = "0";
    app["battery_adjust"] = "0";
    app["group_index"] = "1";
    app["amount"] = "32";
    app["save_interval"] = "480";
    app["t0"] = "0";
    app["t31"] = "0";
    app["b_mode"] = "3";
    Json::Value& rules = settings["thresholdSetting"];
    const char* const names[][2] = {{"group_voltage_high", "整组电压高"},
                                    {"battery_voltage_low", "单体电压低"},
                                    {"temperature_high", "温度高"}};
    int n = 0;
    for (const auto& name : names) {
        Json::Value& rule = rules[name[0]];
        rule["SignalName"] = name[1];
        rule["NMAlarmID"] = std::to_string(1000 + n);
        rule["ID"] = std::to_string(418000 + n);
        rule["SignalNumber"] = "001";
        ++n;
    }
    return settings;
}

class Rig {
public:
    explicit Rig(const Json::Value& settings) {
        device.data_id_ = kDataId;
        device.addr_ = kHostAddress;
        device.InitSetting(settings);
        const std::uint8_t wire = device.addr_;
        cells_ = module::FlatCellReplyFrame(wire, kCellRaw);
        group_voltage_ = module::ValueReplyFrame(wire, kGroupVoltageRaw);
        current_ = module::ValueReplyFrame(wire, kCurrentRaw);
        temperature_ = module::ValueReplyFrame(wire, kTemperatureRaw);
    }

    // One poll: cell voltages, group voltage, current, temperature, then the
    // device's end of round. False when the device did not follow the round.
    bool Round() {
        bool ok = device.RefreshStatus() == 1;
        ok &= Feed(cells_) == 1;
        ok &= Feed(group_voltage_) == 1;
        ok &= Feed(current_) == 1;
        ok &= Feed(temperature_) == 0;
        return ok && device.pending_cmd_ == 0 && device.data_ready_;
    }

    // Report names as a host with analog-output reports gives the device: its
    // end of round walks them. Two are longer than a short string holds.
    void AddAoNames() {
        device.ao_names_ = {"group_voltage_report", "temperature_report", "current_ao"};
        for (const std::string& name : device.ao_names_) device.ao_values_[name] = 1.0f;
    }

    Battery32 device;

private:
    int Feed(module::Bytes& reply) {
        return device.process(reply.data(), static_cast<unsigned int>(reply.size()));
    }

    module::Bytes cells_, group_voltage_, current_, temperature_;
};

// Counts what a round hands to the host, to make sure the timed round is the
// whole round.
class CountingHost : public stand_in::InstalledHostEvents {
public:
    void SendData(ZorSPDevice&, const unsigned char*, unsigned int) override { ++frames; }
    void SendSP(ZorVDevice&, int, const unsigned char*, unsigned int, bool) override {
        ++published;
    }
    void SaveDeviceHistory(ZorVDevice&, const unsigned char*, unsigned int) override { ++saved; }
    void CheckThreshold(ZorVDevice&, const std::string&, const std::string&, float, int) override {
        ++checks;
    }
    int frames = 0, published = 0, saved = 0, checks = 0;
};

// Empty when a round with the host watching makes every call a round makes.
std::string CheckWholeRound(Rig& rig) {
    CountingHost host;
    if (!rig.Round()) return "the device did not complete the round";
    std::ostringstream why;
    if (host.frames != 4) why << host.frames << " commands sent, not 4; ";
    const int expected = kChecksPerRound + static_cast<int>(rig.device.ao_names_.size());
    if (host.checks != expected)
        why << host.checks << " threshold checks, not " << expected << "; ";
    if (host.published != 1) why << host.published << " records published, not 1; ";
    if (host.saved != 1) why << host.saved << " history saves, not 1; ";
    return why.str();
}

// Ready for steady-state measurement: settings applied, first rounds done.
bool WarmUp(Rig& rig) {
    bool ok = true;
    for (int i = 0; i < kWarmUpRounds; ++i) ok &= rig.Round();
    return ok;
}

// ---------------------------------------------------------------------------
// Benchmarks.

void BM_Round(benchmark::State& state, Output output, bool ao_names) {
    CoutRedirect redirect(output);
    const Json::Value settings = TypicalSettings();
    Rig rig(settings);
    if (ao_names) rig.AddAoNames();
    const std::string whole = CheckWholeRound(rig);
    if (!whole.empty()) {
        state.SkipWithError(whole.c_str());
        return;
    }
    if (!WarmUp(rig)) {
        state.SkipWithError("warm-up round failed");
        return;
    }
    bool ok = true;
    const alloc_count::Totals before = alloc_count::Now();
    for (auto _ : state) {
        ok &= rig.Round();
    }
    const alloc_count::Totals after = alloc_count::Now();
    if (!ok) state.SkipWithError("a timed round did not complete");
    state.counters["allocs_per_round"] =
        benchmark::Counter(static_cast<double>(after.allocations - before.allocations),
                           benchmark::Counter::kAvgIterations);
    state.SetItemsProcessed(state.iterations());
}

enum class Lookup { kOurs, kRegex };

void BM_GetValue(benchmark::State& state, Lookup lookup, std::string name) {
    CoutRedirect redirect(Output::kNone);
    const Json::Value settings = TypicalSettings();
    Rig rig(settings);
    if (!WarmUp(rig)) {
        state.SkipWithError("warm-up round failed");
        return;
    }
    const std::regex& pattern = bench::CellNamePattern();
    const Battery32& device = rig.device;
    std::uint64_t refused = 0;
    const alloc_count::Totals before = alloc_count::Now();
    for (auto _ : state) {
        try {
            float v = lookup == Lookup::kOurs ? device.Get_Value(0, name)
                                              : bench::RegexGetValue(device, name, pattern);
            benchmark::DoNotOptimize(v);
        } catch (const std::out_of_range&) {
            ++refused;
        }
    }
    const alloc_count::Totals after = alloc_count::Now();
    state.counters["allocs_per_call"] =
        benchmark::Counter(static_cast<double>(after.allocations - before.allocations),
                           benchmark::Counter::kAvgIterations);
    state.counters["refused"] =
        benchmark::Counter(static_cast<double>(refused), benchmark::Counter::kAvgIterations);
}

void BM_NameScan(benchmark::State& state, std::string name) {
    for (auto _ : state) {
        auto index = cell_name::FindCellIndex(name);
        benchmark::DoNotOptimize(index);
    }
}

void BM_RegexSearch(benchmark::State& state, std::string name) {
    const std::regex& pattern = bench::CellNamePattern();
    for (auto _ : state) {
        std::smatch match;
        bool found = std::regex_search(name, match, pattern);
        benchmark::DoNotOptimize(found);
        benchmark::DoNotOptimize(match);
    }
}

const char* const kCellName = "battery_17_value";
const char* const kStringName = "temperature";
const char* const kUnknownName = "no_such_value";

void RegisterAll() {
    benchmark::RegisterBenchmark("round/devnull", BM_Round, Output::kDevNull, false)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("round/no_output", BM_Round, Output::kNone, false)
        ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("round/no_output/ao_names", BM_Round, Output::kNone, true)
        ->Unit(benchmark::kMicrosecond);
    const std::pair<const char*, const char*> names[] = {
        {"cell", kCellName}, {"string", kStringName}, {"unknown", kUnknownName}};
    for (const auto& [label, name] : names) {
        benchmark::RegisterBenchmark((std::string("get_value/ours/") + label).c_str(), BM_GetValue,
                                     Lookup::kOurs, std::string(name));
        benchmark::RegisterBenchmark((std::string("get_value/regex/") + label).c_str(), BM_GetValue,
                                     Lookup::kRegex, std::string(name));
    }
    for (const auto& [label, name] : names) {
        benchmark::RegisterBenchmark((std::string("name_match/scan/") + label).c_str(), BM_NameScan,
                                     std::string(name));
        benchmark::RegisterBenchmark((std::string("name_match/regex_search/") + label).c_str(),
                                     BM_RegexSearch, std::string(name));
    }
}

// ---------------------------------------------------------------------------
// Figures taken outside the timer: exact counts, not averages over a timing loop.

struct Counts {
    double allocs_per_round = -1;
    double allocs_per_round_ao_names = -1;  // with the host's analog-output names
    std::int64_t live_bytes_growth_per_1000_rounds = 0;
    double get_value_allocs[3] = {-1, -1, -1};  // cell, string, unknown
    double regex_get_value_allocs[3] = {-1, -1, -1};
    bool round_ok = false;
};

struct Footprint {
    std::size_t object = sizeof(Battery32);
    alloc_count::Totals construction;  // owned right after the constructor
    alloc_count::Totals configured;    // owned after InitSetting(typical settings)
    alloc_count::Totals round_growth;  // held in addition after 1000 steady rounds
    std::size_t cell_names_on_heap = 0;
};

alloc_count::Totals Minus(const alloc_count::Totals& a, const alloc_count::Totals& b) {
    alloc_count::Totals d;
    d.allocations = a.allocations - b.allocations;
    d.frees = a.frees - b.frees;
    d.live_blocks = a.live_blocks - b.live_blocks;
    d.live_bytes = a.live_bytes - b.live_bytes;
    d.live_chunk_bytes_64 = a.live_chunk_bytes_64 - b.live_chunk_bytes_64;
    d.live_chunk_bytes_32 = a.live_chunk_bytes_32 - b.live_chunk_bytes_32;
    return d;
}

constexpr int kCountedRounds = 1000;
constexpr int kCountedLookups = 1000;

template <typename F>
double AllocationsPerCall(F f, int calls) {
    const alloc_count::Totals before = alloc_count::Now();
    for (int i = 0; i < calls; ++i) {
        try {
            benchmark::DoNotOptimize(f());
        } catch (const std::out_of_range&) {
        }
    }
    return static_cast<double>(alloc_count::Now().allocations - before.allocations) / calls;
}

Counts CountAllocations() {
    CoutRedirect redirect(Output::kDevNull);
    Counts c;
    const Json::Value settings = TypicalSettings();
    Rig rig(settings);
    if (!WarmUp(rig)) return c;
    const alloc_count::Totals before = alloc_count::Now();
    bool ok = true;
    for (int i = 0; i < kCountedRounds; ++i) ok &= rig.Round();
    const alloc_count::Totals after = alloc_count::Now();
    c.round_ok = ok;
    c.allocs_per_round =
        static_cast<double>(after.allocations - before.allocations) / kCountedRounds;
    c.live_bytes_growth_per_1000_rounds = after.live_bytes - before.live_bytes;

    {
        Rig with_ao(settings);
        with_ao.AddAoNames();
        if (WarmUp(with_ao)) {
            const alloc_count::Totals ao_before = alloc_count::Now();
            for (int i = 0; i < kCountedRounds; ++i) with_ao.Round();
            c.allocs_per_round_ao_names =
                static_cast<double>(alloc_count::Now().allocations - ao_before.allocations) /
                kCountedRounds;
        }
    }

    const std::string names[3] = {kCellName, kStringName, kUnknownName};
    const std::regex& pattern = bench::CellNamePattern();
    const Battery32& device = rig.device;
    for (int k = 0; k < 3; ++k) {
        const std::string& name = names[k];
        c.get_value_allocs[k] =
            AllocationsPerCall([&] { return device.Get_Value(0, name); }, kCountedLookups);
        c.regex_get_value_allocs[k] = AllocationsPerCall(
            [&] { return bench::RegexGetValue(device, name, pattern); }, kCountedLookups);
    }
    return c;
}

Footprint MeasureFootprint() {
    CoutRedirect redirect(Output::kDevNull);
    Footprint f;
    const Json::Value settings = TypicalSettings();
    // In place, so that the object itself is not counted as heap: what is
    // counted is what it owns.
    std::optional<Battery32> device;
    const alloc_count::Totals start = alloc_count::Now();
    device.emplace();
    f.construction = Minus(alloc_count::Now(), start);
    device->data_id_ = kDataId;
    device->addr_ = kHostAddress;
    device->InitSetting(settings);
    f.configured = Minus(alloc_count::Now(), start);
    device.reset();

    // A round must not leave the device holding more than before it.
    {
        Rig rig(settings);
        WarmUp(rig);
        const alloc_count::Totals start_rounds = alloc_count::Now();
        for (int i = 0; i < kCountedRounds; ++i) rig.Round();
        f.round_growth = Minus(alloc_count::Now(), start_rounds);
    }

    // Cell variable names longer than the short-string buffer live on the heap.
    std::string probe;
    const std::size_t inline_capacity = probe.capacity();
    for (int i = 0; i < kBattery32Cells; ++i) {
        if (("battery_" + std::to_string(i) + "_value").size() > inline_capacity)
            ++f.cell_names_on_heap;
    }
    return f;
}

// ---------------------------------------------------------------------------
// Reporting: the console table, then a summary computed from the same run.

// CPU time rather than wall time: the machines this runs on are shared, and a
// benchmark thread that is descheduled should not look slower for it.
double NanosecondsPerIteration(const benchmark::BenchmarkReporter::Run& run) {
    double per_unit = 1.0;
    switch (run.time_unit) {
        case benchmark::kNanosecond:
            per_unit = 1.0;
            break;
        case benchmark::kMicrosecond:
            per_unit = 1e3;
            break;
        case benchmark::kMillisecond:
            per_unit = 1e6;
            break;
        case benchmark::kSecond:
            per_unit = 1e9;
            break;
    }
    return run.GetAdjustedCPUTime() * per_unit;
}

class SummaryReporter : public benchmark::ConsoleReporter {
public:
    SummaryReporter(OutputOptions options, const Counts& counts, const Footprint& footprint)
        : ConsoleReporter(options), counts_(counts), footprint_(footprint) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) {
                failed_ = true;
                continue;
            }
            const std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Iteration) {
                samples_[name].push_back(NanosecondsPerIteration(run));
            } else if (run.aggregate_name == "median") {
                medians_[name] = NanosecondsPerIteration(run);
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::ostream& out = GetOutputStream();
        out << std::fixed;
        out << "\n== battery32 benchmark summary (CPU time per iteration; median when repeated) "
               "==\n";

        const double round_devnull = Ns("round/devnull");
        const double round_quiet = Ns("round/no_output");
        out << "round, stdout to /dev/null       : " << Time(round_devnull / 1e3, " us") << "\n";
        out << "round, output excluded           : " << Time(round_quiet / 1e3, " us")
            << Verdict(round_quiet >= 0, round_quiet < 50e3, "< 50 us") << "\n";
        out << std::setprecision(3);
        out << "allocations per steady-state round: " << counts_.allocs_per_round << " ("
            << kCountedRounds << " rounds after " << kWarmUpRounds << " warm-up rounds; live bytes "
            << (counts_.live_bytes_growth_per_1000_rounds >= 0 ? "+" : "")
            << counts_.live_bytes_growth_per_1000_rounds << " over them)"
            << Verdict(true, counts_.round_ok && counts_.allocs_per_round == 0.0, "0") << "\n";
        out << "  the same with the host's 3 analog-output names (2 over 15 chars): "
            << counts_.allocs_per_round_ao_names << " per round; round "
            << Time(Ns("round/no_output/ao_names") / 1e3, " us") << "\n";

        const char* const labels[3] = {"cell", "string", "unknown"};
        const char* const names[3] = {kCellName, kStringName, kUnknownName};
        for (int k = 0; k < 3; ++k) {
            const double ours = Ns(std::string("get_value/ours/") + labels[k]);
            const double regex = Ns(std::string("get_value/regex/") + labels[k]);
            out << "Get_Value(\"" << names[k] << "\"): ours " << Time(ours, " ns")
                << ", regex baseline " << Time(regex, " ns") << ", baseline/ours "
                << Ratio(regex, ours);
            if (k == 0) out << Verdict(ours >= 0 && regex >= 0, regex >= 5.0 * ours, ">= 5x");
            out << std::setprecision(3) << "; allocations per call: ours "
                << counts_.get_value_allocs[k] << ", baseline " << counts_.regex_get_value_allocs[k]
                << "\n";
        }
        for (int k = 0; k < 3; ++k) {
            const double scan = Ns(std::string("name_match/scan/") + labels[k]);
            const double regex = Ns(std::string("name_match/regex_search/") + labels[k]);
            out << "name match alone on \"" << names[k] << "\": scan " << Time(scan, " ns")
                << ", regex_search " << Time(regex, " ns") << ", regex_search/scan "
                << Ratio(regex, scan) << "\n";
        }

        const Footprint& f = footprint_;
        out << "footprint (this host, " << 8 * sizeof(void*) << "-bit):\n";
        out << "  sizeof(Battery32)                        : " << f.object << " bytes\n";
        PrintHeap(out, "  heap owned after construction            : ", f.construction);
        PrintHeap(out, "  ... after construction + InitSetting     : ", f.configured);
        PrintHeap(out, "  heap growth over 1000 steady rounds      : ", f.round_growth);
        out << "  one configured Battery32                 : "
            << f.object + static_cast<std::size_t>(f.configured.live_bytes)
            << " bytes requested (object + heap), "
            << f.object + static_cast<std::size_t>(f.configured.live_chunk_bytes_64)
            << " with malloc overhead\n";
        out << "  cell names too long for the short-string buffer: " << f.cell_names_on_heap
            << " of " << kBattery32Cells << "\n";
        if (failed_) out << "SOME BENCHMARKS FAILED: see the errors above\n";
        out.flush();
    }

    bool failed() const { return failed_; }

private:
    double Ns(const std::string& name) const {
        if (auto it = medians_.find(name); it != medians_.end()) return it->second;
        auto it = samples_.find(name);
        if (it == samples_.end() || it->second.empty()) return -1.0;
        std::vector<double> v = it->second;
        std::sort(v.begin(), v.end());
        const std::size_t n = v.size();
        return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    }
    // A negative time: that benchmark was filtered out or failed.
    static std::string Time(double t, const char* unit) {
        if (t < 0) return "(not run)";
        std::ostringstream s;
        s << std::fixed << std::setprecision(t < 10 ? 2 : 1) << t << unit;
        return s.str();
    }
    static std::string Ratio(double a, double b) {
        if (a < 0 || b <= 0) return "(n/a)";
        std::ostringstream s;
        s << std::fixed << std::setprecision(2) << a / b << "x";
        return s.str();
    }
    static std::string Verdict(bool measured, bool met, const char* target) {
        if (!measured) return std::string("   [target ") + target + ": not measured]";
        return std::string("   [target ") + target + (met ? ": met]" : ": NOT met]");
    }
    static void PrintHeap(std::ostream& out, const char* label, const alloc_count::Totals& t) {
        out << label << t.live_bytes << " bytes in " << t.live_blocks
            << " blocks (malloc chunks: " << t.live_chunk_bytes_64 << " bytes on 64-bit, about "
            << t.live_chunk_bytes_32 << " on 32-bit)\n";
    }

    const Counts& counts_;
    const Footprint& footprint_;
    std::map<std::string, std::vector<double>> samples_;
    std::map<std::string, double> medians_;
    bool failed_ = false;
};

// ---------------------------------------------------------------------------
// Fixed-count runs for an instruction counter (valgrind --tool=callgrind):
// the per-round or per-call count is the difference between two counts.

int RunFixed(const std::string& what, long count) {
    const Json::Value settings = TypicalSettings();
    CoutRedirect redirect(Output::kNone);
    Rig rig(settings);
    if (!WarmUp(rig)) return 1;
    if (what == "round") {
        for (long i = 0; i < count; ++i) rig.Round();
        return 0;
    }
    const std::string name = kCellName;
    const std::regex& pattern = bench::CellNamePattern();
    if (what == "ours") {
        for (long i = 0; i < count; ++i) benchmark::DoNotOptimize(rig.device.Get_Value(0, name));
    } else if (what == "regex") {
        for (long i = 0; i < count; ++i)
            benchmark::DoNotOptimize(bench::RegexGetValue(rig.device, name, pattern));
    }
    return what == "ours" || what == "regex" ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
    // --fixed=round:N | ours:N | regex:N runs that many rounds or cell-name
    // lookups and exits, for counting instructions.
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--fixed=", 0) == 0) {
            const std::string request = arg.substr(8);
            const auto colon = request.find(':');
            if (colon == std::string::npos) return 2;
            return RunFixed(request.substr(0, colon), std::atol(request.c_str() + colon + 1));
        }
    }

    DevNull();  // its buffer is allocated now, not inside a count
    static std::ostream results(std::cout.rdbuf());
    const Counts counts = CountAllocations();
    const Footprint footprint = MeasureFootprint();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;
    RegisterAll();
    SummaryReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                   : benchmark::ConsoleReporter::OO_Tabular,
                             counts, footprint);
    reporter.SetOutputStream(&results);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.failed() || !counts.round_ok ? 1 : 0;
}
