#pragma once

#include "host/provider.h"

class Battery32Provider : public ZorSPDeviceProvider {
public:
    Battery32Provider() {}
    ~Battery32Provider() override {}
    // A new Battery32, owned by the caller.
    ZorSPDevice* create() const override;
};
