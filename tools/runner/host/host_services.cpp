#include "tools/runner/host/host_services.h"

#include "battery/battery.h"

namespace runner::host {
namespace {

// The history interval a device asks for. The host reads it from the device
// itself, each time, because settings and control code 100 change it at run
// time: `save_interval_`, in seconds, a public member of the link class that
// every device of this plug-in is built on. Only the class layout is used (no
// code of the device is linked), so the plug-in loaded must be this project's.
// Not checked by the sanitizer's dynamic-type test: that needs the device
// class's type information, which lives hidden in the plug-in.
__attribute__((no_sanitize("vptr"))) int HistoryIntervalSeconds(const ZorVDevice& device) {
    const int seconds = static_cast<const Battery&>(device).save_interval_;
    // The device never holds less than a minute; a second keeps a bad value harmless.
    return seconds > 0 ? seconds : 1;
}

}  // namespace

void HostServices::SendData(ZorSPDevice& device, const unsigned char* data, unsigned int length) {
    // Outside a call into it (while being set up, say) a device has no line to send on.
    if (&device != calling_ || data == nullptr) return;
    if (events_.Send(device, data, length)) outcome_->sent = true;
}

void HostServices::RefreshStatus(ZorSPDevice& device) {
    if (&device == calling_) outcome_->round_begun = true;
}

void HostServices::SendSP(ZorVDevice& device, int type_id, const unsigned char* data,
                          unsigned int length, bool) {
    events_.Published(device, type_id, data, length);
}

void HostServices::SaveDeviceHistory(ZorVDevice& device, const unsigned char* data,
                                     unsigned int length) {
    events_.Saved(device, data, length, HistoryIntervalSeconds(device));
}

void HostServices::CheckThreshold(ZorVDevice& device, const std::string& name,
                                  const std::string& display_name, float value, int index) {
    events_.Checked(device, name, display_name, value, index);
}

}  // namespace runner::host
