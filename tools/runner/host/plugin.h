#pragma once
// Loading a device plug-in the way the host does: dlopen by path, look up the
// plain-named get_providers, and use its first provider, which must make
// serial-port devices.

#include <memory>
#include <string>

#include "host/provider.h"
#include "host/zor_sp_device.h"

namespace runner::host {

class Plugin {
public:
    // Throws std::runtime_error with one line naming the file and what is wrong.
    explicit Plugin(const std::string& path);

    // A new device from the first provider; throws std::runtime_error if it makes none.
    std::shared_ptr<ZorSPDevice> CreateDevice() const;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    // The library stays loaded for the life of the process: devices made by
    // it are destroyed with code that lives in it.
    void* handle_ = nullptr;
    std::shared_ptr<ZorSPDeviceProvider> provider_;
};

}  // namespace runner::host
