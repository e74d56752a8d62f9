#pragma once
// Drives a Battery32 as the host's serial engine would, with bytes a module sends.

#include <json/value.h>

#include <cstdint>
#include <memory>
#include <string>

#include "battery32/battery32.h"
#include "tools/module/module_wire.h"

namespace test_support {

using module::Bytes;

// Readings that pass every plausibility window with the default settings.
module::Readings TypicalReadings();

Json::Value ParseJson(const std::string& text);

// A device with its data id and host address set, settings applied.
std::unique_ptr<Battery32> MakeDevice(std::uint32_t data_id, std::uint8_t host_addr,
                                      const Json::Value& settings = Json::Value());

int Feed(Battery32& device, const Bytes& bytes);

// One tick and the four replies of a good round, answered at the device's wire address.
// Returns process's result for the last reply (0 when the round closed).
int RunGoodRound(Battery32& device, const module::Readings& readings);

}  // namespace test_support
