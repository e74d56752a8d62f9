#pragma once
// The stand-in host's observable side: every host service a device calls is
// forwarded to the installed HostEvents object, so a test or a program can watch
// and script what the device does. With none installed the services do nothing
// and report "nothing due".

#include <string>
#include <vector>

#include "host/rule_value.h"

class ZorVDevice;
class ZorSPDevice;

namespace stand_in {

class HostEvents {
public:
    virtual ~HostEvents() = default;
    virtual void SendData(ZorSPDevice&, const unsigned char*, unsigned int) {}
    virtual void RefreshStatus(ZorSPDevice&) {}
    virtual void Reset(ZorVDevice&) {}
    virtual void SendSP(ZorVDevice&, int /*type_id*/, const unsigned char*, unsigned int, bool) {}
    virtual void SaveDeviceHistory(ZorVDevice&, const unsigned char*, unsigned int) {}
    virtual void CheckThreshold(ZorVDevice&, const std::string& /*name*/,
                                const std::string& /*display_name*/, float /*value*/,
                                int /*index*/) {}
    virtual bool CheckAOReport(ZorVDevice&, const std::string&, float) { return false; }
    virtual bool DoBatchCheckThreshold(ZorVDevice&, const std::vector<rule_value>&) {
        return false;
    }
};

// Installs the receiver of all host services (nullptr: none). Returns the previous one.
HostEvents* SetHostEvents(HostEvents* events);
HostEvents* CurrentHostEvents();

// HostEvents that receive the host services for as long as they live: derive
// from this instead of HostEvents. Whatever was installed before is put back.
class InstalledHostEvents : public HostEvents {
public:
    InstalledHostEvents() : previous_(SetHostEvents(this)) {}
    ~InstalledHostEvents() override { SetHostEvents(previous_); }
    InstalledHostEvents(const InstalledHostEvents&) = delete;
    InstalledHostEvents& operator=(const InstalledHostEvents&) = delete;

private:
    HostEvents* previous_;
};

}  // namespace stand_in
