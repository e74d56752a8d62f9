#pragma once
// A device's energy counters in the data folder, DIR/device-<data id>.energy:
// one line of JSON,
//   {"data_id":1001,"charged_ah":12.5,"discharged_ah":0,"charged_kwh":5.4,
//    "discharged_kwh":0,"since":1796810020}
// the numbers written so that they read back exactly. The file is replaced
// whole (record::ReplaceFile), never written in place.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "tools/runner/energy/energy_counters.h"

namespace runner::energy {

// The file's text for `counters` of `data_id`, written into `text` (`size`
// bytes; 256 always suffice) without allocating. Returns its length.
std::size_t EnergyFileText(std::uint32_t data_id, const EnergyCounters& counters, char* text,
                           std::size_t size);

// Reads the counters kept in `path` for `data_id`. A file that does not hold
// them (damaged, cut short, not JSON, a negative or non-finite count) or
// holds another device's is renamed aside untouched
// ("<path>.aside-damaged-<time>" or "...-other-device-..."), and `*note` says
// so in one line. Nothing when there is no file, or it was set aside. Throws
// std::runtime_error with one line when the file can be neither read nor set
// aside: it must then not be replaced.
std::optional<EnergyCounters> ReadEnergyFile(const std::string& path, std::uint32_t data_id,
                                             std::string* note);

}  // namespace runner::energy
