#pragma once
// Drives a Battery32 as the host's serial engine would, with bytes a module sends.

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include <json/value.h>

#include "battery32/battery32.h"
#include "tests/support/module_bytes.h"

namespace test_support {

struct ModuleReadings {
    std::array<std::uint16_t, 32> cells{};
    std::uint16_t group = 0;
    std::uint16_t current = 0;
    std::uint16_t temperature = 0;
};

// Readings that pass every plausibility window with the default settings.
ModuleReadings TypicalReadings();

Json::Value ParseJson(const std::string& text);

// A device with its data id and host address set, settings applied.
std::unique_ptr<Battery32> MakeDevice(std::uint32_t data_id, std::uint8_t host_addr,
                                      const Json::Value& settings = Json::Value());

int Feed(Battery32& device, const Bytes& bytes);

// One tick and the four replies of a good round, answered at the device's wire address.
// Returns process's result for the last reply (0 when the round closed).
int RunGoodRound(Battery32& device, const ModuleReadings& readings);

}  // namespace test_support
