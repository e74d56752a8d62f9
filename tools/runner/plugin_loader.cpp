#include "tools/runner/plugin_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

namespace runner {

Plugin Plugin::Load(const std::string& path) {
    Plugin plugin;
    plugin.path_ = path;
    if (::access(path.c_str(), F_OK) != 0) {
        throw PluginError("plug-in " + path + ": no such file (build it, or give --plugin PATH)");
    }
    ::dlerror();
    plugin.handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (plugin.handle_ == nullptr) {
        const char* why = ::dlerror();
        throw PluginError("plug-in " + path + ": cannot load: " + (why ? why : "unknown reason"));
    }
    void* symbol = ::dlsym(plugin.handle_, kGetProvidersSymbol);
    if (symbol == nullptr) {
        throw PluginError("plug-in " + path + ": exports no " + kGetProvidersSymbol +
                          " (not a device plug-in?)");
    }
    const auto get_providers = reinterpret_cast<GetProvidersFn>(symbol);
    const ProviderList providers = get_providers();
    if (providers.empty() || !providers.front()) {
        throw PluginError("plug-in " + path + ": " + kGetProvidersSymbol + " returned no provider");
    }
    plugin.provider_ = std::dynamic_pointer_cast<ZorSPDeviceProvider>(providers.front());
    if (!plugin.provider_) {
        throw PluginError("plug-in " + path +
                          ": its first provider does not make serial-port devices");
    }
    return plugin;
}

std::shared_ptr<ZorSPDevice> Plugin::CreateDevice() const {
    ZorSPDevice* device = provider_->create();
    if (device == nullptr) throw PluginError("plug-in " + path_ + ": its provider made no device");
    return std::shared_ptr<ZorSPDevice>(device);
}

std::string DefaultPluginPath() {
    const std::string name = "libbattery32.so";
    std::vector<std::string> candidates;
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        candidates.push_back(self.parent_path() / name);
        candidates.push_back(self.parent_path().parent_path() / name);
    }
#ifdef BATTERY32_BUILT_PLUGIN
    candidates.push_back(BATTERY32_BUILT_PLUGIN);
#endif
    for (const auto& c : candidates)
        if (::access(c.c_str(), R_OK) == 0) return c;
    return candidates.empty() ? name : candidates.front();
}

}  // namespace runner
