#include "plugin/battery32_provider.h"

#include "battery32/battery32.h"

ZorSPDevice* Battery32Provider::create() const { return new Battery32(); }
