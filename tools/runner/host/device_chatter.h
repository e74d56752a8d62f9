#pragma once
// The device writes its own diagnostics ("rvSize is 0", ...) to standard
// output. To keep them apart from the runner's lines, standard output (fd 1)
// is pointed at a scratch file while the runner works; after each call into a
// device the runner hands what that device printed to Flush(), which writes it
// prefixed with the device's id ("  1001> rvSize is 0") to the chosen outlet,
// or drops it. A scratch file, unlike a pipe, can never fill up and stall the
// device in the middle of a write; the outlet never waits for its reader.

#include <string>

#include "tools/common/console/outlet.h"

namespace runner::host {

class DeviceChatter {
public:
    DeviceChatter() = default;
    ~DeviceChatter();
    DeviceChatter(const DeviceChatter&) = delete;
    DeviceChatter& operator=(const DeviceChatter&) = delete;

    // Redirects fd 1. A null `destination` drops the device's lines.
    // Returns "" on success, else the reason (fd 1 is then left as it was).
    std::string Begin(console::Outlet* destination);
    // Writes out the complete lines printed since the last call, labelled.
    void Flush(const std::string& label);
    // Writes out any last partial line and points fd 1 back where it was.
    void End();
    // Where the lines go; null when they are dropped.
    console::Outlet* destination() const { return destination_; }

private:
    int saved_stdout_ = -1;
    int capture_fd_ = -1;
    console::Outlet* destination_ = nullptr;
    long long read_offset_ = 0;
    std::string partial_;
};

}  // namespace runner::host
