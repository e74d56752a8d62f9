#pragma once
// A device's last record, kept for restarts in a file of its own. It is
// replaced atomically: written beside, synced, then renamed over the old one,
// so a crash or a power loss leaves either the old record or the new one.

#include <cstddef>
#include <cstdint>
#include <string>

namespace record_tools {

// "" on success, else the reason. The old file is untouched on failure.
std::string WriteCacheFile(const std::string& path, const std::uint8_t* data, std::size_t length);

}  // namespace record_tools
