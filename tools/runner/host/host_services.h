#pragma once
// The host services the plug-in's devices call (sending a frame, a round
// begun, a record published or kept, a threshold check), taken from the host
// hook and turned into events for a known device. Every call the runner makes
// into a device goes through Call(), which hands back what the device did
// during it: calls into the plug-in never report through flags set aside.

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "host/stand_in/host_events.h"
#include "host/zor_sp_device.h"
#include "tools/runner/host/device_chatter.h"

namespace runner::host {

// What the devices tell the host, as it happens; the site poller takes it.
class DeviceEvents {
public:
    virtual ~DeviceEvents() = default;
    // The device's command for its module; true when it went out on the line.
    virtual bool Send(const ZorSPDevice& device, const std::uint8_t* data, std::size_t length) = 0;
    // A completed round: the record the device publishes.
    virtual void Published(const ZorVDevice& device, int type_id, const std::uint8_t* data,
                           std::size_t length) = 0;
    // A record the device asks to keep; `interval_seconds` is its history
    // interval as it stands now.
    virtual void Saved(const ZorVDevice& device, const std::uint8_t* data, std::size_t length,
                       int interval_seconds) = 0;
    // A value the device submits to the host's threshold rules.
    virtual void Checked(const ZorVDevice& device, const std::string& name,
                         const std::string& display_name, float value, int index) = 0;
};

// What one call into a device did, apart from the events.
struct CallOutcome {
    bool sent = false;         // a command went out on the line
    bool round_begun = false;  // it began a round (the host's RefreshStatus)
    std::string failure;       // what it threw; empty when it returned
};

class HostServices : public stand_in::InstalledHostEvents {
public:
    HostServices(DeviceEvents& events, DeviceChatter& chatter)
        : events_(events), chatter_(chatter) {}

    // Runs `call` (a call into `device`, which `label` names in its printed
    // lines), catches what it throws and writes out what it printed.
    template <typename Fn>
    CallOutcome Call(ZorSPDevice& device, const std::string& label, Fn&& call);

    void SendData(ZorSPDevice& device, const unsigned char* data, unsigned int length) override;
    void RefreshStatus(ZorSPDevice& device) override;
    void SendSP(ZorVDevice& device, int type_id, const unsigned char* data, unsigned int length,
                bool immediate) override;
    void SaveDeviceHistory(ZorVDevice& device, const unsigned char* data,
                           unsigned int length) override;
    void CheckThreshold(ZorVDevice& device, const std::string& name,
                        const std::string& display_name, float value, int index) override;

private:
    DeviceEvents& events_;
    DeviceChatter& chatter_;
    const ZorSPDevice* calling_ = nullptr;  // the device of the call in progress
    CallOutcome* outcome_ = nullptr;        // and what it did so far
};

template <typename Fn>
CallOutcome HostServices::Call(ZorSPDevice& device, const std::string& label, Fn&& call) {
    CallOutcome outcome;
    const ZorSPDevice* outer_device = std::exchange(calling_, &device);
    CallOutcome* outer_outcome = std::exchange(outcome_, &outcome);
    try {
        call();
    } catch (const std::exception& e) {
        outcome.failure = e.what();
        if (outcome.failure.empty()) outcome.failure = "an exception";
    }
    calling_ = outer_device;
    outcome_ = outer_outcome;
    chatter_.Flush(label);
    return outcome;
}

}  // namespace runner::host
