#pragma once
// Serial lines as the tools use them: raw, 8N1, non-blocking; and the times
// that follow from a line's speed, a byte being 10 bits on the wire (a start
// bit, 8 data bits, no parity, a stop bit). The runner times its bursts and
// replies with these, the module model its simulated line.

#include <chrono>
#include <optional>
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

// The kernel's RS-485 mode of a port, for adapters whose transceiver's
// direction follows RTS: the driver raises (or lowers) RTS while it sends,
// with the delays around it, and sets it back after.
struct Rs485 {
    bool enabled = true;
    bool rts_high_while_sending = true;
    bool rts_high_after_sending = false;
    int delay_before_send_ms = 0;
    int delay_after_send_ms = 0;
    bool receive_while_sending = false;  // the port hears its own bytes (an echo)
};

// Whether `path` (or what a link there leads to) is a serial device this
// user may open for reading and writing, found out without opening it: ""
// or why not ("no such device (No such file or directory)", "not a serial
// device: a regular file", "this user may not read and write it (Permission
// denied; its group is dialout)").
std::string PresenceProblem(const std::string& path);

// Sets the mode on an open port; "" or why the driver refused it.
std::string SetRs485(int fd, const Rs485& mode);
// Whether the port is in RS-485 mode; nothing when its driver has no RS-485
// interface (a USB adapter, a pseudo-terminal).
std::optional<bool> Rs485Enabled(int fd);
// The device node an open descriptor reached, e.g. "/dev/ttyUSB1" for a port
// opened through a link in /dev/serial/by-id; "" when it cannot be told.
std::string DeviceNode(int fd);

}  // namespace serial_port
