#pragma once
// Telling a device's own history and cache files from anything else that may
// sit under their names (another device's file copied in, random bytes), and
// putting such a file aside without changing a byte of it.

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace record {

// A history or cache file as found at start.
struct HistoryVerdict {
    enum class Kind { kMissing, kOurs, kNotOurs, kUnreadable } kind = Kind::kMissing;
    std::string tag;     // kNotOurs, for file names: "not-a-record" or "other-device"
    std::string reason;  // kNotOurs: what is wrong, for people; kUnreadable: the error
    std::vector<std::uint8_t> last_record;  // kOurs: its last whole record, if it has one
};
// Checks the last whole record (the only one read). A file shorter than one
// record is ours when its bytes begin the way the device's records begin.
HistoryVerdict CheckHistoryFile(const std::string& path, std::uint32_t data_id);
// A cache file holds exactly one record of this device.
HistoryVerdict CheckCacheFile(const std::string& path, std::uint32_t data_id);

// Renames `path` to "<path>.aside-<tag>-<YYYYMMDD>T<HHMMSS>Z" (a number added
// when that name is taken). Returns the new name, or throws std::runtime_error.
std::string SetAside(const std::string& path, const std::string& tag, std::time_t when);

}  // namespace record
