// The plug-in as the host meets it: a shared library with one exported entry.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <memory>

#include "battery32/battery32.h"
#include "host/provider.h"
#include "plugin/battery32_provider.h"
#include "plugin/get_providers.h"

namespace {

TEST(Factory, OneProviderThatCreatesIndependentDevices) {
    auto first = get_providers();
    auto second = get_providers();
    ASSERT_EQ(first.size(), 1u);
    ASSERT_NE(first[0], nullptr);
    EXPECT_NE(first[0].get(), second[0].get());
    auto* provider = dynamic_cast<ZorSPDeviceProvider*>(first[0].get());
    ASSERT_NE(provider, nullptr);
    EXPECT_NE(dynamic_cast<Battery32Provider*>(first[0].get()), nullptr);

    std::unique_ptr<ZorSPDevice> a(provider->create());
    std::unique_ptr<ZorSPDevice> b(provider->create());
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a.get(), b.get());
    first.clear();
    second.clear();  // devices outlive their factory
    EXPECT_EQ(a->DeviceType(), "battery_32");
    EXPECT_EQ(b->DeviceType(), "battery_32");
    EXPECT_EQ(a->baud_rate_, 19200);
}

TEST(SharedLibrary, HostLoadsItAndCreatesADeviceByTheEntryName) {
    void* handle = dlopen(BATTERY32_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto entry = reinterpret_cast<GetProvidersFn>(dlsym(handle, kGetProvidersSymbol));
    ASSERT_NE(entry, nullptr) << dlerror();
    {
        ProviderList providers = entry();
        ASSERT_EQ(providers.size(), 1u);
        auto* provider = dynamic_cast<ZorSPDeviceProvider*>(providers[0].get());
        ASSERT_NE(provider, nullptr);
        std::unique_ptr<ZorSPDevice> device(provider->create());
        ASSERT_NE(device, nullptr);
        EXPECT_EQ(device->DeviceType(), "battery_32");
        EXPECT_THROW(device->Get_Value(0, "group_voltage"), std::out_of_range);
        unsigned char image[152] = {};
        EXPECT_TRUE(device->LoadFromCache(image, 152));
        EXPECT_EQ(device->Get_Value(0, "group_voltage"), 0.0f);
    }
    EXPECT_EQ(dlsym(handle, "_Z13get_providersv"), nullptr);  // plain name only
    dlclose(handle);
}

}  // namespace
