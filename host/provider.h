#pragma once
// Device factories as the host sees them. A plug-in exports
//     std::vector<std::shared_ptr<Provider>> get_providers();
// under that plain name.

#include <memory>
#include <vector>

class ZorSPDevice;

class Provider {
public:
    Provider() {}
    virtual ~Provider() {}
};

class ZorSPDeviceProvider : public Provider {
public:
    ZorSPDeviceProvider() {}
    ~ZorSPDeviceProvider() override {}
    // A new device, owned by the caller.
    virtual ZorSPDevice* create() const = 0;
};

using ProviderList = std::vector<std::shared_ptr<Provider>>;
using GetProvidersFn = ProviderList (*)();
inline constexpr const char* kGetProvidersSymbol = "get_providers";
