#pragma once
// A device as the runner's outputs see it: its place in the site and how it is
// doing on its line. The runner keeps one per device, in site order, for the
// whole run; outputs read them through the DeviceList they are started with.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "battery32/battery32_data.h"
#include "tools/runner/energy/energy_counters.h"
#include "tools/runner/line/line_pace.h"
#include "tools/runner/line/link_tracker.h"
#include "tools/runner/line/port_state.h"

namespace runner::outputs {

struct DeviceStatus : line::LinkStatus {
    std::uint32_t data_id = 0;
    std::string name;  // from the site file, may be empty
    std::string port;
    std::uint64_t errors = 0;  // exceptions out of the device
    // The device refuses lookups for want of fresh data: no round and no
    // link activity for a minute (its own rule, asked of it once a second).
    bool stale = false;
    // The device's port as its line last saw it: the node reached, reopens,
    // echo, RS-485 mode. Every device on one port shows the same.
    line::PortState port_state;
    // How fast its line goes. Every device on one line shows the same.
    line::LinePace line_pace;
    // What went into and out of the string, as of the latest round handed
    // out: integrated up to the readings its record carries.
    energy::EnergyCounters energy;
};

// {"node":"/dev/ttyUSB0","reopens":0,"echo":true,"garbled_echoes":0,"rs485":null},
// as the web view and the broker show it.
std::string PortStateJson(const line::PortState& state);

// A completed round as --json prints it, the web view lists it and the broker
// sends it: the record's JSON line (record::JsonLine) with the device's energy
// counters, {"data_id":1001,"round":3,...,"temperature":25.3,"energy":{...}}.
std::string RoundJson(const Battery32_Data_t& record, std::uint64_t round,
                      std::optional<std::uint64_t> threshold_checks,
                      const energy::EnergyCounters& energy);

// Every device of the site, in site order.
using DeviceList = std::vector<const DeviceStatus*>;

// The device with `data_id`, or null.
inline const DeviceStatus* FindDevice(const DeviceList& devices, std::uint32_t data_id) {
    for (const DeviceStatus* d : devices)
        if (d->data_id == data_id) return d;
    return nullptr;
}

}  // namespace runner::outputs
