#pragma once

#include <cstdint>
#include <string>

namespace runner {

// DIR/device-<data id>.history
inline std::string HistoryPath(const std::string& data_dir, std::uint32_t data_id) {
    return data_dir + "/device-" + std::to_string(data_id) + ".history";
}

// DIR/device-<data id>.cache: the newest record, for restarts.
inline std::string CachePath(const std::string& data_dir, std::uint32_t data_id) {
    return data_dir + "/device-" + std::to_string(data_id) + ".cache";
}

}  // namespace runner
