#include "tools/module/module_simulator.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace module {
namespace {

constexpr std::size_t kJournalLimit = 4096;

std::uint16_t ClampRaw(double scaled) {
    if (!(scaled > 0.0)) return 0;  // also NaN
    if (scaled >= 65535.0) return 65535;
    return static_cast<std::uint16_t>(std::lround(scaled));
}

using Changes = std::vector<const ReadingChange*>;

// The changes of `c` that hold `elapsed` after the line started.
Changes ChangesAt(const ModuleConfig& c, std::chrono::milliseconds elapsed) {
    Changes holding;
    if (c.changes.empty()) return holding;
    const auto t = c.repeat.count() > 0 ? elapsed % c.repeat : elapsed;
    for (const ReadingChange& change : c.changes)
        if (t >= change.from && t < change.to) holding.push_back(&change);
    return holding;
}

// `value` as the last of `holding` that sets `field` says.
double Changed(double value, const Changes& holding, std::optional<double> ReadingChange::*field) {
    for (const ReadingChange* change : holding)
        if (change->*field) value = *(change->*field);
    return value;
}

double CellLevel(const CellProfile& p, std::size_t index, const Changes& holding) {
    for (auto it = holding.rbegin(); it != holding.rend(); ++it)
        if (static_cast<std::size_t>((*it)->cell) == index + 1) return (*it)->cell_volts;
    if (p.weak_cell > 0 && index + 1 == static_cast<std::size_t>(p.weak_cell)) return p.weak_volts;
    if (p.cells_in_use <= 1) return p.volts;
    const double span = static_cast<double>(p.cells_in_use - 1);
    return p.volts + (p.ramp_to - p.volts) * static_cast<double>(index) / span;
}

// The wire values of a module's readings, in its scalings (module_config.h),
// with the changes in `holding`. Noise on the cells is drawn from *noise; with
// nullptr the readings are noise-free.
Readings ReadingsFor(const ModuleConfig& c, Random* noise, const Changes& holding = {}) {
    const CellProfile& p = c.cells;
    Readings r;
    const double cell_scale = c.battery_type == 6 ? 1000.0 : 100.0;
    const double step = 1.0 / cell_scale;
    const long noise_steps = noise != nullptr && p.noise > 0.0 ? std::lround(p.noise / step) : 0;
    double sum = 0.0;
    for (std::size_t i = 0; i < kCellCount && static_cast<int>(i) < p.cells_in_use; ++i) {
        const double level = CellLevel(p, i, holding);
        sum += level;
        long raw = ClampRaw(level * cell_scale);
        if (noise_steps > 0) {
            const auto span = static_cast<std::uint64_t>(2 * noise_steps + 1);
            raw += static_cast<long>(noise->Next() % span) - noise_steps;
            raw = raw < 0 ? 0 : (raw > 65535 ? 65535 : raw);
        }
        r.cells[i] = static_cast<std::uint16_t>(raw);
    }
    // The group voltage of the nominal cells, so that noise does not move it.
    const double group =
        Changed(c.group_voltage ? *c.group_voltage : sum, holding, &ReadingChange::group_voltage);
    r.group = ClampRaw(group * (c.version == 2 ? 100.0 : 10.0));
    // The sensor reports ((code / 10) / 125 - 2) * 50 amperes.
    const double current = Changed(c.current, holding, &ReadingChange::current);
    r.current = ClampRaw(c.current_sensor ? (current / 50.0 + 2.0) * 125.0 * 10.0 : current * 10.0);
    r.temperature = ClampRaw(Changed(c.temperature, holding, &ReadingChange::temperature) * 100.0);
    return r;
}

}  // namespace

ModuleSimulator::ModuleSimulator(std::uint64_t seed) : rng_(seed) {}

void ModuleSimulator::AddModule(const ModuleConfig& config) {
    if (modules_.count(config.address) != 0) {
        throw std::invalid_argument("module address " + std::to_string(config.address) +
                                    " is already taken");
    }
    modules_[config.address].config = config;
}

std::vector<std::uint8_t> ModuleSimulator::Addresses() const {
    std::vector<std::uint8_t> out;
    for (const auto& entry : modules_) out.push_back(entry.first);
    return out;
}

ModuleConfig& ModuleSimulator::Module(std::uint8_t address) {
    auto it = modules_.find(address);
    if (it == modules_.end()) {
        throw std::out_of_range("no simulated module at address " + std::to_string(address));
    }
    return it->second.config;
}

Readings ModuleSimulator::NominalReadings(std::uint8_t address) const {
    auto it = modules_.find(address);
    if (it == modules_.end()) {
        throw std::out_of_range("no simulated module at address " + std::to_string(address));
    }
    return ReadingsFor(it->second.config, nullptr, ChangesAt(it->second.config, elapsed_));
}

std::optional<std::size_t> ModuleSimulator::PickFault(ModuleState& module, std::uint8_t code) {
    const auto& rules = module.config.faults;
    module.rule_matches.resize(rules.size(), 0);
    module.rule_fired.resize(rules.size(), 0);
    std::optional<std::size_t> chosen;
    // Every matching rule counts the command, so each rule's schedule is
    // independent of the others; the first rule due wins.
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const FaultRule& rule = rules[i];
        if (rule.command != 0 && rule.command != code) continue;
        const std::uint64_t n = ++module.rule_matches[i];
        if (chosen) continue;
        if (n < rule.first) continue;
        const std::uint64_t every = rule.every == 0 ? 1 : rule.every;
        if ((n - rule.first) % every != 0) continue;
        if (rule.times != 0 && module.rule_fired[i] >= rule.times) continue;
        if (rule.probability < 1.0 && !(rng_.Unit() < rule.probability)) continue;
        ++module.rule_fired[i];
        chosen = i;
    }
    return chosen;
}

std::vector<Transmission> ModuleSimulator::Receive(const std::uint8_t* data, std::size_t length) {
    if (data != nullptr) heard_.insert(heard_.end(), data, data + length);
    std::vector<Transmission> out;
    std::size_t pos = 0;
    while (heard_.size() - pos >= kCommandLength) {
        const std::uint8_t* f = &heard_[pos];
        if (Bytes(f, f + kCommandLength) != CommandFrame(f[2], f[3])) {
            ++pos;  // line noise, or a frame with a bad sum
            continue;
        }
        for (Transmission& t : Answer(f[2], f[3])) out.push_back(std::move(t));
        pos += kCommandLength;
    }
    // A tail shorter than a frame is kept only from its first possible lead on.
    while (pos < heard_.size() && heard_[pos] != kCommandLead) ++pos;
    heard_.erase(heard_.begin(), heard_.begin() + static_cast<std::ptrdiff_t>(pos));
    return out;
}

std::vector<Transmission> ModuleSimulator::Answer(std::uint8_t address, std::uint8_t code) {
    auto it = modules_.find(address);
    if (it == modules_.end() || code < kCmdCells || code > kCmdTemperature) {
        ++ignored_commands_;
        return {};
    }
    ModuleState& module = it->second;
    ++module.stats.commands[code];
    const Changes holding = ChangesAt(module.config, elapsed_);
    for (const ReadingChange* change : holding)
        if (change->silent) return {};

    JournalEntry entry;
    // Noise moves the cells of a cell reply only.
    entry.readings = ReadingsFor(module.config, code == kCmdCells ? &rng_ : nullptr, holding);
    Transmission reply{module.config.reply_delay, ReplyFrame(address, code, entry.readings)};

    std::vector<Transmission> out;
    if (const std::optional<std::size_t> fault = PickFault(module, code)) {
        const FaultRule& rule = module.config.faults[*fault];
        entry.fault = rule.kind;
        ++module.stats.faults[rule.kind];
        Spoil(rule, address, code, entry.readings, std::move(reply), out);
    } else {
        out.push_back(std::move(reply));
    }
    if (!out.empty()) ++module.stats.replies;

    journal_.push_back(entry);
    if (journal_.size() > kJournalLimit) journal_.pop_front();
    return out;
}

void ModuleSimulator::Spoil(const FaultRule& rule, std::uint8_t address, std::uint8_t code,
                            const Readings& readings, Transmission reply,
                            std::vector<Transmission>& out) {
    Bytes& bytes = reply.bytes;
    switch (rule.kind) {
        case FaultKind::kSilence:
            return;
        case FaultKind::kGarbage: {
            for (std::size_t i = 0; i < rule.garbage_bytes; ++i) {
                auto b = static_cast<std::uint8_t>(rng_.Next() & 0xFF);
                if (b == kReplyLead) b = 0x55;  // noise that could pass for a lead is not noise
                bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(i), b);
            }
            break;
        }
        case FaultKind::kBadChecksum:
            bytes.back() = static_cast<std::uint8_t>((bytes.back() + 1) % 254);
            break;
        case FaultKind::kWrongAddress:
            bytes = ReplyFrame(rule.other_address.value_or(static_cast<std::uint8_t>(address ^ 1)),
                               code, readings);
            break;
        case FaultKind::kSplit: {
            std::size_t cut = rule.split_at == 0 ? bytes.size() / 2 : rule.split_at;
            if (cut >= bytes.size()) cut = bytes.size() - 1;
            if (cut == 0) cut = 1;
            Transmission tail{rule.pause,
                              Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(cut), bytes.end())};
            bytes.resize(cut);
            out.push_back(std::move(reply));
            out.push_back(std::move(tail));
            return;
        }
        case FaultKind::kDelay:
            reply.delay += rule.delay;
            break;
    }
    out.push_back(std::move(reply));
}

ModuleStats ModuleSimulator::Stats(std::uint8_t address) const {
    auto it = modules_.find(address);
    return it == modules_.end() ? ModuleStats{} : it->second.stats;
}

}  // namespace module
