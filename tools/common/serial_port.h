#pragma once
// Opening a serial line for raw 8N1 use at a given speed, non-blocking.

#include <string>

namespace serial_port {

struct OpenResult {
    int fd = -1;        // >= 0 on success
    std::string error;  // why not, when fd < 0: "No such file or directory", ...
};

// Opens `path` read-write without becoming its controlling terminal, sets raw
// mode, 8 data bits, no parity, one stop bit, no flow control, the given speed,
// and drops whatever was waiting in either direction. The descriptor is
// non-blocking and close-on-exec, and holds an advisory lock so that a second
// program cannot poll the same line unnoticed.
OpenResult Open(const std::string& path, int baud);

}  // namespace serial_port
