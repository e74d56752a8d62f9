#pragma once
// The simulator's configuration file: a seed and the modules with their
// readings and fault rules, each member as README.md describes it under
// battery-module-sim. Every integer may also be given as a string, decimal or
// "0x.." hexadecimal.

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
SimConfig ReadSimConfigFile(const std::string& path);

// The module used for an address nobody configured: 32 flat cells between
// 13.40 and 13.59 V, the level set by the address, so that several defaults on
// one line still tell apart.
ModuleConfig DefaultModule(std::uint8_t address);

}  // namespace module_sim
