#include "tools/sim/module_simulator.h"

#include <cmath>
#include <stdexcept>
#include <string>

namespace module_sim {
namespace {

std::uint16_t ClampRaw(double scaled) {
    if (!(scaled > 0.0)) return 0;  // also NaN
    if (scaled >= 65535.0) return 65535;
    return static_cast<std::uint16_t>(std::lround(scaled));
}

double CellLevel(const CellProfile& p, std::size_t index) {
    if (p.weak_cell > 0 && index + 1 == static_cast<std::size_t>(p.weak_cell)) return p.weak_volts;
    if (p.shape == CellProfile::Shape::kFlat || p.cells_in_use <= 1) return p.volts;
    const double span = static_cast<double>(p.cells_in_use - 1);
    return p.volts + (p.ramp_to - p.volts) * static_cast<double>(index) / span;
}

// splitmix64: fixed arithmetic, so every platform draws the same sequence.
std::uint64_t SplitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

ModuleSimulator::ModuleSimulator(std::uint64_t seed) : rng_state_(seed) {}

void ModuleSimulator::AddModule(const ModuleConfig& config) {
    if (HasModule(config.address)) {
        throw std::invalid_argument("module address " + std::to_string(config.address) +
                                    " is already taken");
    }
    ModuleState m;
    m.config = config;
    modules_.emplace(config.address, std::move(m));
}

bool ModuleSimulator::HasModule(std::uint8_t address) const {
    return modules_.count(address) != 0;
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

std::uint16_t ModuleSimulator::CellRaw(double volts, int battery_type) {
    return ClampRaw(volts * (battery_type == 6 ? 1000.0 : 100.0));
}

std::uint16_t ModuleSimulator::GroupVoltageRaw(double volts, int version) {
    return ClampRaw(volts * (version == 2 ? 100.0 : 10.0));
}

std::uint16_t ModuleSimulator::CurrentRaw(double amperes, bool sensor) {
    // The sensor reports ((code / 10) / 125 - 2) * 50 amperes.
    return ClampRaw(sensor ? (amperes / 50.0 + 2.0) * 125.0 * 10.0 : amperes * 10.0);
}

std::uint16_t ModuleSimulator::TemperatureRaw(double celsius) { return ClampRaw(celsius * 100.0); }

std::uint64_t ModuleSimulator::NextRandom() { return SplitMix(rng_state_); }

double ModuleSimulator::NextUnit() {
    return static_cast<double>(NextRandom() >> 11) * (1.0 / 9007199254740992.0);
}

Reading ModuleSimulator::NominalReading(std::uint8_t address, std::uint8_t code) const {
    auto it = modules_.find(address);
    if (it == modules_.end()) {
        throw std::out_of_range("no simulated module at address " + std::to_string(address));
    }
    return ReadingFor(it->second, code, nullptr);
}

Reading ModuleSimulator::ReadingFor(const ModuleState& module, std::uint8_t code, std::uint64_t* rng) {
    const ModuleConfig& c = module.config;
    const CellProfile& p = c.cells;
    Reading r;
    const int fitted = p.cells_in_use < 0 ? 0 : p.cells_in_use;
    const double step = c.battery_type == 6 ? 0.001 : 0.01;
    const long noise_steps = rng != nullptr && p.noise > 0.0 ? std::lround(p.noise / step) : 0;
    double sum = 0.0;
    for (std::size_t i = 0; i < kCellCount; ++i) {
        if (static_cast<int>(i) >= fitted) continue;
        const double level = CellLevel(p, i);
        sum += level;
        long raw = CellRaw(level, c.battery_type);
        if (code == kCmdCells && noise_steps > 0) {
            const auto span = static_cast<std::uint64_t>(2 * noise_steps + 1);
            raw += static_cast<long>(SplitMix(*rng) % span) - noise_steps;
            raw = raw < 0 ? 0 : (raw > 65535 ? 65535 : raw);
        }
        r.cells[i] = static_cast<std::uint16_t>(raw);
    }
    switch (code) {
        case kCmdGroupVoltage:
            r.value = GroupVoltageRaw(c.group_voltage ? *c.group_voltage : sum, c.version);
            break;
        case kCmdCurrent: r.value = CurrentRaw(c.current, c.current_sensor); break;
        case kCmdTemperature: r.value = TemperatureRaw(c.temperature); break;
        default: break;
    }
    return r;
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
        if (rule.probability < 1.0 && !(NextUnit() < rule.probability)) continue;
        ++module.rule_fired[i];
        chosen = i;
    }
    return chosen;
}

std::vector<Transmission> ModuleSimulator::Receive(const std::uint8_t* data, std::size_t length) {
    std::vector<Transmission> out;
    for (const Command& command : parser_.Feed(data, length)) {
        std::vector<Transmission> answer = Answer(command.address, command.code);
        for (auto& t : answer) out.push_back(std::move(t));
    }
    return out;
}

std::vector<Transmission> ModuleSimulator::Answer(std::uint8_t address, std::uint8_t code) {
    auto it = modules_.find(address);
    const bool known_code = code == kCmdCells || code == kCmdGroupVoltage ||
                            code == kCmdCurrent || code == kCmdTemperature;
    if (it == modules_.end() || !known_code) {
        ++ignored_commands_;
        return {};
    }
    ModuleState& module = it->second;
    ++module.stats.commands[code];

    JournalEntry entry;
    entry.sequence = ++sequence_;
    entry.address = address;
    entry.command = code;
    entry.reading = ReadingFor(module, code, &rng_state_);

    Bytes frame = code == kCmdCells ? CellReplyFrame(address, entry.reading.cells)
                                    : ValueReplyFrame(address, entry.reading.value);

    std::vector<Transmission> out;
    const std::optional<std::size_t> fault_index = PickFault(module, code);
    Transmission reply{module.config.reply_delay, std::move(frame)};
    if (!fault_index) {
        out.push_back(std::move(reply));
    } else {
        const FaultRule& rule = module.config.faults[*fault_index];
        entry.fault = rule.kind;
        ++module.stats.faults[rule.kind];
        switch (rule.kind) {
            case FaultKind::kSilence: break;
            case FaultKind::kGarbage: {
                Bytes noisy;
                for (std::size_t i = 0; i < rule.garbage_bytes; ++i) {
                    auto b = static_cast<std::uint8_t>(NextRandom() & 0xFF);
                    if (b == kReplyLead) b = 0x55;  // noise that could pass for a lead is not noise
                    noisy.push_back(b);
                }
                noisy.insert(noisy.end(), reply.bytes.begin(), reply.bytes.end());
                reply.bytes = std::move(noisy);
                out.push_back(std::move(reply));
                break;
            }
            case FaultKind::kBadChecksum:
                reply.bytes.back() = static_cast<std::uint8_t>((reply.bytes.back() + 1) % 254);
                out.push_back(std::move(reply));
                break;
            case FaultKind::kWrongAddress: {
                const std::uint8_t other =
                    rule.other_address ? *rule.other_address : static_cast<std::uint8_t>(address ^ 1);
                reply.bytes = code == kCmdCells ? CellReplyFrame(other, entry.reading.cells)
                                                : ValueReplyFrame(other, entry.reading.value);
                out.push_back(std::move(reply));
                break;
            }
            case FaultKind::kSplit: {
                std::size_t cut = rule.split_at == 0 ? reply.bytes.size() / 2 : rule.split_at;
                if (cut >= reply.bytes.size()) cut = reply.bytes.size() - 1;
                if (cut == 0) cut = 1;
                Transmission tail{rule.pause, Bytes(reply.bytes.begin() + static_cast<std::ptrdiff_t>(cut),
                                                    reply.bytes.end())};
                reply.bytes.resize(cut);
                out.push_back(std::move(reply));
                out.push_back(std::move(tail));
                break;
            }
            case FaultKind::kDelay:
                reply.delay += rule.delay;
                out.push_back(std::move(reply));
                break;
        }
    }
    if (!out.empty()) ++module.stats.replies;

    if (journal_limit_ > 0) {
        journal_.push_back(entry);
        while (journal_.size() > journal_limit_) journal_.pop_front();
    }
    return out;
}

ModuleStats ModuleSimulator::Stats(std::uint8_t address) const {
    auto it = modules_.find(address);
    return it == modules_.end() ? ModuleStats{} : it->second.stats;
}

void ModuleSimulator::set_journal_limit(std::size_t limit) {
    journal_limit_ = limit;
    while (journal_.size() > journal_limit_) journal_.pop_front();
}

}  // namespace module_sim
