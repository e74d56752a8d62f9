#pragma once
// Serial lines as the tools use them: raw, 8N1, non-blocking; and the times
// that follow from a line's speed, a byte being 10 bits on the wire (a start
// bit, 8 data bits, no parity, a stop bit). The runner times its bursts and
// replies with these, the module model its simulated line.

#include <chrono>
#include <string>

namespace serial_port {

// A speed no module line runs below; stands in for a speed that is not set.
inline constexpr int kSlowestBaud = 9600;

// The time `bits` take on the line.
inline std::chrono::nanoseconds BitsTime(long long bits, int baud) {
    return std::chrono::nanoseconds(bits * 1000000000LL / (baud > 0 ? baud : kSlowestBaud));
}

inline std::chrono::nanoseconds ByteTime(int baud) { return BitsTime(10, baud); }

// The quiet time after which the bytes received so far are taken as a whole
// burst: three character times.
inline std::chrono::nanoseconds QuietGap(int baud) { return BitsTime(30, baud); }

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
