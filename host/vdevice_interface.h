#pragma once
// The abstract device interface every plug-in device implements. Defined in full
// here; the virtual operations keep this slot order, which host and plug-in share.

#include <climits>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

class VDeviceInterface {
public:
    VDeviceInterface() = default;
    VDeviceInterface(const VDeviceInterface&) = delete;
    VDeviceInterface& operator=(const VDeviceInterface&) = delete;

    virtual float Get_Value(unsigned int /*source*/, const std::string& /*name*/) const {
        throw std::out_of_range("数据未就绪");
    }
    virtual bool LoadFromCache(const std::string& image) {
        // An image too long for an int length is passed as -1, never truncated
        // into a length that looks acceptable.
        const int length =
            image.size() > static_cast<std::size_t>(INT_MAX) ? -1 : static_cast<int>(image.size());
        return LoadFromCache(reinterpret_cast<const unsigned char*>(image.data()), length);
    }
    virtual bool LoadFromCache(const unsigned char* data, int length) = 0;
    virtual std::uint32_t DataId() const { return data_id_; }
    virtual const std::string& DeviceType() const { return device_type_; }
    virtual int DeviceIoControl(int /*code*/, const void* /*in*/, int /*in_length*/, void* /*out*/,
                                int /*out_length*/, int& /*returned*/) {
        return -2;
    }
    virtual void RoundDone() {}
    virtual bool UseControllerDb() { return use_controller_db_; }
    virtual ~VDeviceInterface() = default;

    std::uint32_t data_id_ = 0;
    std::string device_type_;
    bool use_controller_db_ = false;
};
