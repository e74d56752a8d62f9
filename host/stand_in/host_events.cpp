#include "host/stand_in/host_events.h"

namespace stand_in {
namespace {
HostEvents* installed = nullptr;
}

HostEvents* SetHostEvents(HostEvents* events) {
    HostEvents* previous = installed;
    installed = events;
    return previous;
}

HostEvents* CurrentHostEvents() { return installed; }

}  // namespace stand_in
