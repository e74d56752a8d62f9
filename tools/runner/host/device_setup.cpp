#include "tools/runner/host/device_setup.h"

namespace runner::host {

std::shared_ptr<ZorSPDevice> SetUpDevice(const Plugin& plugin, const SiteDevice& entry,
                                         const std::shared_ptr<ZorController>& controller) {
    std::shared_ptr<ZorSPDevice> device = plugin.CreateDevice();
    device->data_id_ = entry.data_id;
    // The host keeps the address with its top bit inverted; the device turns
    // it back into the wire address in InitSetting.
    device->addr_ = static_cast<unsigned char>(entry.address ^ 0x80u);
    device->Init(controller, entry.data_id, entry.settings);
    controller->AddDevice(device);
    try {
        device->InitSetting(entry.settings);
    } catch (...) {
        controller->RemoveDevice(entry.data_id);
        throw;
    }
    return device;
}

}  // namespace runner::host
