#include "tools/runner/host/plugin.h"

#include <dlfcn.h>
#include <unistd.h>

#include <stdexcept>

#include "tools/common/input_file.h"

namespace runner::host {
namespace {

[[noreturn]] void Refuse(const std::string& path, const std::string& why) {
    throw std::runtime_error("plug-in " + path + ": " + why);
}

}  // namespace

Plugin::Plugin(const std::string& path) : path_(path) {
    if (::access(path.c_str(), F_OK) != 0)
        Refuse(path, "no such file (build it, or give --plugin PATH)");
    // The loader would wait on a FIFO for ever, with the stop signals held.
    if (const std::string problem = input_file::RegularFileProblem(path); !problem.empty())
        Refuse(path, problem);
    ::dlerror();
    handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* why = ::dlerror();
        Refuse(path, std::string("cannot load: ") + (why ? why : "unknown reason"));
    }
    void* symbol = ::dlsym(handle_, kGetProvidersSymbol);
    if (symbol == nullptr) {
        Refuse(path, std::string("exports no ") + kGetProvidersSymbol + " (not a device plug-in?)");
    }
    const ProviderList providers = reinterpret_cast<GetProvidersFn>(symbol)();
    if (providers.empty() || !providers.front()) {
        Refuse(path, std::string(kGetProvidersSymbol) + " returned no provider");
    }
    provider_ = std::dynamic_pointer_cast<ZorSPDeviceProvider>(providers.front());
    if (!provider_) Refuse(path, "its first provider does not make serial-port devices");
}

std::shared_ptr<ZorSPDevice> Plugin::CreateDevice() const {
    ZorSPDevice* device = provider_->create();
    if (device == nullptr) Refuse(path_, "its provider made no device");
    return std::shared_ptr<ZorSPDevice>(device);
}

}  // namespace runner::host
