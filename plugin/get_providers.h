#pragma once

#include <memory>
#include <vector>

#include "host/provider.h"

// Exported with C linkage so the host finds it by the plain name "get_providers".
extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers();
