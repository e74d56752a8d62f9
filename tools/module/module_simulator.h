#pragma once
// The battery monitor module(s) on one serial line, as a plain in-process
// object: no file descriptors, no threads, no clocks. Feed it the bytes the host
// sends; it answers with the transmissions a module would make, after applying
// the configured readings and faults. A driver (see line_driver.h) moves those
// bytes over a real line and tells it the time, for the readings' changes;
// a test can use the object directly. For the same seed, configuration,
// times and command sequence the replies are byte for byte the same on every
// platform. Not thread-safe.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "tools/module/module_config.h"
#include "tools/module/module_wire.h"
#include "tools/module/random.h"

namespace module {

// Bytes to put on the line after waiting `delay` (counted from the end of the
// previous transmission of the same answer, or from the command for the first).
struct Transmission {
    std::chrono::milliseconds delay{0};
    Bytes bytes;
};

// One answered (or deliberately ignored) command, for checking what a host made of it.
struct JournalEntry {
    std::optional<FaultKind> fault;
    Readings readings;  // as taken for this command, before any fault touched the reply
};

struct ModuleStats {
    std::map<std::uint8_t, std::uint64_t> commands;  // by command code
    std::uint64_t replies = 0;                       // answers sent, faulty ones included
    std::map<FaultKind, std::uint64_t> faults;
};

class ModuleSimulator {
public:
    explicit ModuleSimulator(std::uint64_t seed = 1);

    // Adds a module; throws std::invalid_argument if its address is taken.
    void AddModule(const ModuleConfig& config);
    std::vector<std::uint8_t> Addresses() const;
    // The live configuration, to change readings or faults between commands.
    // Throws std::out_of_range for an unknown address.
    ModuleConfig& Module(std::uint8_t address);

    // How long the line has been running: which of the modules' reading
    // changes hold (module_config.h). Starts at 0.
    void SetElapsed(std::chrono::milliseconds elapsed) { elapsed_ = elapsed; }

    // Bytes heard on the line; returns what the modules send back, in order.
    // Commands for addresses without a module and malformed frames get no answer.
    // Bytes arrive in any chunking; line noise and frames with a bad sum are
    // skipped one byte at a time, so that a real frame right behind them is found.
    std::vector<Transmission> Receive(const std::uint8_t* data, std::size_t length);
    // Answers one command as if its frame had just been heard.
    std::vector<Transmission> Answer(std::uint8_t address, std::uint8_t code);

    // The readings the module's next replies would carry, without noise, with
    // the changes that hold now.
    // Throws std::out_of_range for an unknown address.
    Readings NominalReadings(std::uint8_t address) const;

    // Statistics of one module (empty for an unknown address).
    ModuleStats Stats(std::uint8_t address) const;
    // Commands that no module answers: an unknown address or command code.
    std::uint64_t ignored_commands() const { return ignored_commands_; }

    // The most recent answered commands, oldest first (the last 4096).
    const std::deque<JournalEntry>& Journal() const { return journal_; }

private:
    struct ModuleState {
        ModuleConfig config;
        ModuleStats stats;
        std::vector<std::uint64_t> rule_matches;  // per fault rule
        std::vector<std::uint64_t> rule_fired;
    };

    std::optional<std::size_t> PickFault(ModuleState& module, std::uint8_t code);
    // What `rule` makes of `reply`, the intact answer to `code` from `address`.
    void Spoil(const FaultRule& rule, std::uint8_t address, std::uint8_t code,
               const Readings& readings, Transmission reply, std::vector<Transmission>& out);

    std::map<std::uint8_t, ModuleState> modules_;
    Bytes heard_;  // the tail of the host's bytes that may still start a command
    Random rng_;
    std::uint64_t ignored_commands_ = 0;
    std::chrono::milliseconds elapsed_{0};
    std::deque<JournalEntry> journal_;
};

}  // namespace module
