#pragma once
// Telling a device's own history and cache files from anything else that may
// sit under their names (another device's file copied in, random bytes), and
// putting such a file aside without changing a byte of it.

#include <cstdint>
#include <ctime>
#include <string>

namespace record_tools {

// What is wrong with a file's record as one of this device's; no tag when
// nothing is.
struct RecordFault {
    std::string tag;     // for file names: "not-a-record" or "other-device"
    std::string reason;  // for people
    bool ok() const { return tag.empty(); }
};

// A history file as found at start.
struct HistoryVerdict {
    enum class Kind { kMissing, kOurs, kNotOurs, kUnreadable } kind = Kind::kMissing;
    RecordFault fault;  // for kNotOurs
    std::string error;  // for kUnreadable
};
// Checks the last whole record (the only one read). A file shorter than one
// record is ours when its bytes begin the way the device's records begin.
HistoryVerdict CheckHistoryFile(const std::string& path, std::uint32_t data_id);
// A cache file holds exactly one record of this device.
HistoryVerdict CheckCacheFile(const std::string& path, std::uint32_t data_id);

// Renames `path` to "<path>.aside-<tag>-<YYYYMMDD>T<HHMMSS>Z" (a number added
// when that name is taken). Returns the new name, or throws std::runtime_error.
std::string SetAside(const std::string& path, const std::string& tag, std::time_t when);

}  // namespace record_tools
