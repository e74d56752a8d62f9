#pragma once
// What the runner hands to the things that take its rounds: the console
// lines, the history, the web view, the broker. Every output gets the same
// events, pushed in the order they happen; runner/make_outputs.cpp is the one
// place that knows which outputs a run has.
//
// An output that talks over sockets also takes part in the runner's loop
// (loop/participant.h) and does its work in short, non-blocking steps.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "battery32/battery32_data.h"
#include "tools/runner/loop/participant.h"
#include "tools/runner/outputs/alarm_change.h"
#include "tools/runner/outputs/device_status.h"

namespace runner::outputs {

// One completed round: the record the device published.
struct CompletedRound {
    const DeviceStatus& device;  // counters already include this round
    int type_id = 0;
    const std::uint8_t* image = nullptr;  // the published bytes, `length` long
    std::size_t length = 0;
    const Battery32_Data_t* record = nullptr;  // null if not a 32-cell record
    std::uint64_t threshold_checks = 0;        // made since the device's previous record
};

// A record the device asked the host to keep as history. The device asks for
// itself, after publishing the round and checking its thresholds, and the
// host keeps what it is asked to keep, when asked: so the history follows
// these requests, not the published rounds.
struct SavedRecord {
    std::uint32_t data_id = 0;
    const std::uint8_t* image = nullptr;
    std::size_t length = 0;
    int interval_seconds = 1;  // the device's history interval as it stands now
};

// The site file read again while polling (a SIGHUP, `systemctl reload`).
// When it was taken, the device list the outputs were started with has
// changed in place: the devices that stayed keep their DeviceStatus; a
// restarted one has a new one, counting its rounds from 0 again.
struct SiteChange {
    std::string refused;    // why the file was not taken (polling goes on as it was); "" when taken
    std::string site_name;  // the site's name as it now stands
    std::vector<std::uint32_t> added;      // data ids, in site order
    std::vector<std::uint32_t> removed;    // no longer in the list
    std::vector<std::uint32_t> restarted;  // their entries changed: removed, then added
};

class Output {
public:
    virtual ~Output() = default;
    // Polling begins: every device is set up. `devices` stays valid and
    // current for the whole run, through reloads too.
    virtual void Start(const DeviceList& /*devices*/) {}
    // Called once per completed round, in the order rounds complete.
    virtual void OnRound(const CompletedRound& /*round*/) {}
    // For every record a device asks to keep.
    virtual void OnSaved(const SavedRecord& /*saved*/) {}
    // The device's state changed: its link state from `before` (it went
    // silent, or answers again), its port (lost, or back) or whether it is
    // stale; StateName(device) is how it stands now.
    virtual void OnStatus(const DeviceStatus& /*device*/, line::LinkState /*before*/) {}
    // An alarm was raised or cleared; or, right after Start, an alarm the
    // alarm log says was active at the last stop is active again (kActive).
    // The alarms of a device a reload removes are cleared before the reload
    // is told; those of a restarted one carry over.
    virtual void OnAlarm(const AlarmChange& /*change*/) {}
    // A reload is over: the site polls as it now stands (taken or refused).
    virtual void OnSiteReloaded(const SiteChange& /*change*/) {}
    // Polling is over: write what is pending, say what was done. May take a
    // few seconds (a broker given time to take what is queued).
    virtual void Finish() {}
    // Its share of the runner's loop, if it has one.
    virtual loop::Participant* participant() { return nullptr; }
};

}  // namespace runner::outputs
