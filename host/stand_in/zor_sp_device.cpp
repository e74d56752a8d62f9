#include "host/zor_sp_device.h"

#include "host/stand_in/host_events.h"

using stand_in::CurrentHostEvents;

ZorSPDevice::ZorSPDevice() = default;
ZorSPDevice::~ZorSPDevice() = default;

int ZorSPDevice::Reset() { return ZorVDevice::Reset(); }

int ZorSPDevice::RefreshStatus() {
    if (auto* events = CurrentHostEvents()) events->RefreshStatus(*this);
    return 0;
}

int ZorSPDevice::process(unsigned char*, unsigned int) { return 0; }
bool ZorSPDevice::IsProcessing() const { return false; }
bool ZorSPDevice::IsStalled() const { return false; }

int ZorSPDevice::SendData(const unsigned char* data, unsigned int length) {
    if (auto* events = CurrentHostEvents()) events->SendData(*this, data, length);
    return static_cast<int>(length);
}

int ZorSPDevice::SendParityData(const unsigned char* data, unsigned int length, EnumParity) {
    return SendData(data, length);
}

bool ZorSPDevice::OpenPort() { return true; }
void ZorSPDevice::ClosePort() {}
