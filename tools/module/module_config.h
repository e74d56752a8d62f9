#pragma once
// What one simulated module reports and how it misbehaves. Values are in
// engineering units; the simulator turns them into wire values with the
// module's scalings (cells: 10 mV steps, or 1 mV for battery type 6; group
// voltage: 0.1 V, or 0.01 V for version 2; current: 0.1 A, or the current-ratio
// sensor's code; temperature: 0.01 degrees C).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace module {

// The 32 cell voltages a module reports: a ramp from the first fitted cell to
// the last (flat when both ends are equal), with a weak cell and noise on top.
struct CellProfile {
    double volts = 13.5;    // the first cell
    double ramp_to = 13.5;  // the last cell (cell `cells_in_use`)
    int weak_cell = 0;      // 1-based cell number held at weak_volts; 0: none
    double weak_volts = 0.0;
    // Each reading moves every cell by a whole number of wire steps drawn
    // uniformly from [-noise, +noise] volts, from the simulator's seeded generator.
    double noise = 0.0;
    // Cells past this count read 0 (not fitted).
    int cells_in_use = 32;

    static CellProfile Flat(double volts) { return Ramp(volts, volts); }
    static CellProfile Ramp(double first, double last) {
        CellProfile p;
        p.volts = first;
        p.ramp_to = last;
        return p;
    }
};

enum class FaultKind {
    kSilence,       // no reply at all
    kGarbage,       // noise bytes (never the reply lead) ahead of the reply
    kBadChecksum,   // reply with its last byte wrong
    kWrongAddress,  // reply carrying another module's address
    kSplit,         // reply sent in two chunks with a pause between them
    kDelay,         // reply sent late
};

// When a fault strikes: on the `first`-th command (1-based) that matches
// `command` (0: any command), then on every `every`-th matching command after
// it, `times` times in all (0: no limit), each time with `probability`.
struct FaultRule {
    FaultKind kind = FaultKind::kSilence;
    std::uint8_t command = 0;
    std::uint64_t first = 1;
    std::uint64_t every = 1;
    std::uint64_t times = 1;
    double probability = 1.0;

    std::size_t garbage_bytes = 4;              // kGarbage
    std::size_t split_at = 0;                   // kSplit: bytes in the first chunk; 0: half
    std::chrono::milliseconds pause{20};        // kSplit: pause between the chunks
    std::chrono::milliseconds delay{200};       // kDelay
    std::optional<std::uint8_t> other_address;  // kWrongAddress; default address ^ 0x01
};

// A change of a module's readings for a while: from `from` until `to`, timed
// from the moment its line starts. Whatever it sets holds over the module's
// own values while it lasts; a later change in the list wins over an earlier one.
struct ReadingChange {
    std::chrono::milliseconds from{0};
    std::chrono::milliseconds to{0};
    bool silent = false;  // no reply at all, to any command
    int cell = 0;         // 1-based cell held at cell_volts; 0: none
    double cell_volts = 0.0;
    std::optional<double> group_voltage;
    std::optional<double> current;
    std::optional<double> temperature;
};

struct ModuleConfig {
    std::uint8_t address = 1;  // as on the wire
    int battery_type = 0;      // 6: cells counted in millivolts
    CellProfile cells;
    std::optional<double> group_voltage;  // volts; default: the sum of the cells
    int version = 1;                      // 2: group voltage in 0.01 V steps
    double current = 0.0;                 // amperes
    bool current_sensor = false;          // current-ratio sensor coding
    double temperature = 25.0;            // degrees C
    std::chrono::milliseconds reply_delay{0};
    std::vector<FaultRule> faults;
    std::vector<ReadingChange> changes;
    std::chrono::milliseconds repeat{0};  // the changes start over every `repeat`; 0: once
};

// The module used for an address nobody configured: 32 flat cells between
// 13.40 and 13.59 V, the level set by the address, so that several defaults on
// one line still tell apart.
ModuleConfig DefaultModule(std::uint8_t address);

}  // namespace module
