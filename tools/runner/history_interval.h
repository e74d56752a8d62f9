#pragma once
// The history interval a device asks for. The host reads it from the device
// itself, each time, because settings and control code 100 change it at run
// time: `save_interval_`, in seconds, a public member of the link class that
// every device of this plug-in is built on. Only the class layout is used (no
// code of the device is linked), so the plug-in loaded must be this project's.

#include "battery/battery.h"
#include "host/zor_sp_device.h"

namespace runner {

// Not checked by the sanitizer's dynamic-type test: that needs the device
// class's type information, which lives hidden in the plug-in.
__attribute__((no_sanitize("vptr"))) inline int HistoryIntervalSeconds(const ZorSPDevice& device) {
    const int seconds = static_cast<const Battery&>(device).save_interval_;
    // The device never holds less than a minute; a second keeps a bad value harmless.
    return seconds > 0 ? seconds : 1;
}

}  // namespace runner
