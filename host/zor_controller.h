#pragma once
// The host's controller: keeps the devices of a site by data id, so that one
// device can read another's values.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

class ZorVDevice;

class ZorController : public std::enable_shared_from_this<ZorController> {
public:
    virtual ~ZorController();

    // Registers a device under its data id, replacing any earlier one with that id.
    void AddDevice(const std::shared_ptr<ZorVDevice>& device);
    void RemoveDevice(std::uint32_t data_id);
    std::shared_ptr<ZorVDevice> FindDevice(std::uint32_t data_id) const;

    // The named value of device data_id; throws std::out_of_range when the id is
    // unknown or the device cannot answer.
    float GetValue(std::uint32_t data_id, const std::string& name) const;

private:
    std::map<std::uint32_t, std::weak_ptr<ZorVDevice>> devices_;
};
