#include "tools/module/module_config.h"

namespace module {

ModuleConfig DefaultModule(std::uint8_t address) {
    ModuleConfig m;
    m.address = address;
    m.cells = CellProfile::Flat(13.40 + 0.01 * static_cast<double>(address % 20));
    m.current = 2.5;
    m.temperature = 24.0 + 0.5 * static_cast<double>(address % 8);
    return m;
}

}  // namespace module
