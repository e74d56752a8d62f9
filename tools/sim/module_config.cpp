#include "tools/sim/module_config.h"

#include <cstring>

namespace module_sim {

CellProfile CellProfile::Flat(double volts) {
    CellProfile p;
    p.shape = Shape::kFlat;
    p.volts = volts;
    p.ramp_to = volts;
    return p;
}

CellProfile CellProfile::Ramp(double first, double last) {
    CellProfile p;
    p.shape = Shape::kRamp;
    p.volts = first;
    p.ramp_to = last;
    return p;
}

CellProfile& CellProfile::WithWeakCell(int cell, double volts) {
    weak_cell = cell;
    weak_volts = volts;
    return *this;
}

CellProfile& CellProfile::WithNoise(double volts) {
    noise = volts;
    return *this;
}

namespace {
struct FaultNameEntry {
    FaultKind kind;
    const char* name;
};
constexpr FaultNameEntry kFaultNames[] = {
    {FaultKind::kSilence, "silence"},
    {FaultKind::kGarbage, "garbage"},
    {FaultKind::kBadChecksum, "bad-checksum"},
    {FaultKind::kWrongAddress, "wrong-address"},
    {FaultKind::kSplit, "split"},
    {FaultKind::kDelay, "delay"},
};
}  // namespace

std::optional<FaultKind> FaultFromName(const char* name) {
    if (name == nullptr) return std::nullopt;
    for (const auto& e : kFaultNames)
        if (std::strcmp(e.name, name) == 0) return e.kind;
    return std::nullopt;
}

}  // namespace module_sim
