#pragma once
// The simulator's configuration file. Every integer may also be given as a
// string, decimal or "0x.." hexadecimal.
//
// {
//   "seed": 1,                                   optional, default 1
//   "modules": [                                 required; one address per module
//     { "address": 1,                            required, wire address 0..255
//       "battery_type": 0,                       6: cells in millivolts
//       "cells": { "profile": "flat", "volts": 13.5,
//                  "to": 13.8,                   ramp only: last cell
//                  "weak_cell": 7, "weak_volts": 12.1,
//                  "noise": 0.02, "cells_in_use": 32 },
//                                                without "cells": all flat at 13.5 V
//                                                (6.75 V for battery type 6)
//       "group_voltage": 432.0,                  default: sum of the cells
//       "version": 1, "current": 12.5, "current_sensor": false,
//       "temperature": 25.3, "reply_delay_ms": 0,
//       "faults": [ { "kind": "bad-checksum", "command": "A1",
//                     "first": 3, "every": 1, "times": 1, "probability": 1.0,
//                     "garbage_bytes": 4, "split_at": 0, "pause_ms": 20,
//                     "delay_ms": 200, "other_address": 9 } ] } ] }
//
// "profile" is "flat" or "ramp"; "command" is "A1".."A4" (or "a1".."a4") or
// "any"; "kind" is one of the FaultKind names (module_config.h).

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tools/sim/module_config.h"

namespace module_sim {

struct SimConfig {
    std::uint64_t seed = 1;
    std::vector<ModuleConfig> modules;
};

// Throws json_input::InputError naming the file and the offending member.
SimConfig ReadSimConfig(const Json::Value& root, const std::string& origin);
SimConfig ReadSimConfigFile(const std::string& path);

// The module used for an address nobody configured: 32 flat cells between
// 13.40 and 13.59 V, the level set by the address, so that several defaults on
// one line still tell apart.
ModuleConfig DefaultModule(std::uint8_t address);

}  // namespace module_sim
