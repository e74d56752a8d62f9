#pragma once
// Making a device for a site entry the way the host does: the data id and
// the address assigned, the device initialised and registered with the
// controller (so that partners find it), then its settings applied.

#include <memory>

#include "host/zor_controller.h"
#include "host/zor_sp_device.h"
#include "tools/runner/host/plugin.h"
#include "tools/runner/host/site.h"

namespace runner::host {

// The set-up device. Throws what the device throws when it refuses its
// settings; it is then not registered.
std::shared_ptr<ZorSPDevice> SetUpDevice(const Plugin& plugin, const SiteDevice& entry,
                                         const std::shared_ptr<ZorController>& controller);

}  // namespace runner::host
