#include "host/zor_vdevice.h"

#include <stdexcept>

#include "host/stand_in/host_events.h"
#include "host/zor_controller.h"

using stand_in::CurrentHostEvents;

ZorVDevice::ZorVDevice() = default;
ZorVDevice::~ZorVDevice() = default;

int ZorVDevice::Reset() {
    if (auto* events = CurrentHostEvents()) events->Reset(*this);
    return 0;
}

bool ZorVDevice::InitV(ZorVDevice* parent, unsigned int data_id, const Json::Value&) {
    parent_ = parent;
    data_id_ = data_id;
    return true;
}

bool ZorVDevice::Init(std::weak_ptr<ZorController> controller, unsigned int data_id,
                      const Json::Value&) {
    controller_ = std::move(controller);
    data_id_ = data_id;
    return true;
}

int ZorVDevice::InitSetting(const Json::Value&) { return 1; }

bool ZorVDevice::IsSupportDevice(const std::string& device_type) const {
    return device_type == device_type_;
}

std::shared_ptr<ZorVDevice> ZorVDevice::GetChildVDevice(unsigned int) { return {}; }

std::vector<std::shared_ptr<ZorVDevice>> ZorVDevice::GetAllChildVDevices() { return {}; }

int ZorVDevice::SendSP(int type_id, const unsigned char* data, unsigned int length,
                       bool immediate) {
    if (auto* events = CurrentHostEvents()) events->SendSP(*this, type_id, data, length, immediate);
    return 0;
}

int ZorVDevice::SendDelayData(int) { return 0; }
int ZorVDevice::SendDoData(int, char) { return 0; }
int ZorVDevice::ReadDi(int) { return 0; }
float ZorVDevice::ReadAi(int) { return 0.0f; }

float ZorVDevice::Get_SP_Value(unsigned int data_id, const std::string& name) {
    auto controller = controller_.lock();
    if (!controller) throw std::out_of_range("no controller");
    return controller->GetValue(data_id, name);
}

bool ZorVDevice::CheckThreshold(const std::string& name, const std::string& display_name,
                                const float& value, int index) {
    if (auto* events = CurrentHostEvents())
        events->CheckThreshold(*this, name, display_name, value, index);
    return false;
}

bool ZorVDevice::CheckAOReport(const std::string& name, float value) {
    auto* events = CurrentHostEvents();
    return events != nullptr && events->CheckAOReport(*this, name, value);
}

bool ZorVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& values) {
    auto* events = CurrentHostEvents();
    return events != nullptr && events->DoBatchCheckThreshold(*this, values);
}

bool ZorVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int length) {
    if (auto* events = CurrentHostEvents()) events->SaveDeviceHistory(*this, data, length);
    return true;
}
