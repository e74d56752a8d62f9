#pragma once
// The simulator's configuration file: a seed and the modules with their
// readings and fault rules, each member as README.md describes it under
// battery-module-sim. Every integer may also be given as a string, decimal or
// "0x.." hexadecimal.

#include <cstdint>
#include <string>
#include <vector>

#include "tools/module/half_duplex_line.h"
#include "tools/module/module_config.h"

namespace sim {

struct SimConfig {
    std::uint64_t seed = 1;
    module::LineEcho echo;  // "echo": the line sends the host's bytes back
    std::vector<module::ModuleConfig> modules;
    // One line per key that is not read ("...modules[0].curent: unknown key,
    // ignored (did you mean "current"?)"); the modules are served all the same.
    std::vector<std::string> warnings;
};

// Throws json_input::InputError naming the file and the offending member.
SimConfig ReadSimConfigFile(const std::string& path);

}  // namespace sim
