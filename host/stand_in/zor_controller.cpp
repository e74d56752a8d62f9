#include "host/zor_controller.h"

#include <stdexcept>

#include "host/zor_vdevice.h"

ZorController::~ZorController() = default;

void ZorController::AddDevice(const std::shared_ptr<ZorVDevice>& device) {
    if (device) devices_[device->DataId()] = device;
}

void ZorController::RemoveDevice(std::uint32_t data_id) { devices_.erase(data_id); }

std::shared_ptr<ZorVDevice> ZorController::FindDevice(std::uint32_t data_id) const {
    auto it = devices_.find(data_id);
    return it == devices_.end() ? nullptr : it->second.lock();
}

float ZorController::GetValue(std::uint32_t data_id, const std::string& name) const {
    auto device = FindDevice(data_id);
    if (!device) throw std::out_of_range("unknown data id " + std::to_string(data_id));
    // A device that refuses (not ready, stale, unknown name) throws out_of_range itself.
    return device->Get_Value(0, name);
}
