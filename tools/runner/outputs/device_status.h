#pragma once
// A device as the runner's outputs see it: its place in the site and how it is
// doing on its line. The runner keeps one per device, in site order, for the
// whole run; outputs read them through the DeviceList they are started with.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "battery32/battery32_data.h"
#include "tools/record/record_format.h"
#include "tools/runner/energy/energy_counters.h"
#include "tools/runner/line/line_pace.h"
#include "tools/runner/line/link_tracker.h"
#include "tools/runner/line/port_state.h"

namespace runner::outputs {

// A limit of an alarm rule on the device's cells, for showing them to scale.
struct CellLimit {
    std::string rule;
    bool above = false;  // raised above the limit, else below it
    float limit = 0;
    int level = 1;
    int cell = -1;  // the cell's index, 0-based; -1: every cell
};

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
    // The port is down (lost, or never opened) since `port_lost_since`.
    bool port_lost = false;
    std::chrono::system_clock::time_point port_lost_since{};
    // Its alarm rules' limits on cells, from the site file.
    std::vector<CellLimit> cell_limits;
};

// The device's state as the outputs show it, the most telling first:
// "port lost" while its port is down, "silent" (no round for the silence
// period), "stale" (it refuses lookups for want of fresh data), else
// "polling" or, before its first round, "waiting".
const char* StateName(const DeviceStatus& status);
// Whether its readings can be taken as current: waiting or polling.
bool Available(const DeviceStatus& status);

// {"node":"/dev/ttyUSB0","reopens":0,"echo":true,"garbled_echoes":0,"rs485":null},
// as the web view and the broker show it.
std::string PortStateJson(const line::PortState& state);

// A completed round as --json prints it, the web view lists it and the broker
// sends it: the record's JSON line (record::JsonLine) with the device's energy
// counters, {"data_id":1001,"round":3,...,"temperature":25.3,"energy":{...}}.
std::string RoundJson(const Battery32_Data_t& record, std::uint64_t round,
                      std::optional<std::uint64_t> threshold_checks,
                      const energy::EnergyCounters& energy,
                      record::TimeForm time_form = record::TimeForm::kLocal);

// Every device of the site, in site order.
using DeviceList = std::vector<const DeviceStatus*>;

// The device with `data_id`, or null.
inline const DeviceStatus* FindDevice(const DeviceList& devices, std::uint32_t data_id) {
    for (const DeviceStatus* d : devices)
        if (d->data_id == data_id) return d;
    return nullptr;
}

}  // namespace runner::outputs
