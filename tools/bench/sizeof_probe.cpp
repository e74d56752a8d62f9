// Compiled (not linked) for another target by scripts/bench.sh to read the
// size of a device there: the sizes land in a section of their own, which the
// script extracts from the object file. Never part of a build.

#include <cstdint>
#include <string>

#include "battery32/battery32.h"

extern "C" {
__attribute__((used, section(".battery32_sizes"))) const std::uint32_t battery32_sizes[] = {
    sizeof(Battery32), sizeof(Battery32_Data_t), sizeof(std::string), sizeof(void*)};
}
