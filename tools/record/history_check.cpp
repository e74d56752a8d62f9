#include "tools/record/history_check.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "tools/record/history_file.h"
#include "tools/record/record_format.h"

namespace record {
namespace {

bool FiniteValues(const Battery32_Data_t& r) {
    for (float v : r.cell_voltage)
        if (!std::isfinite(v)) return false;
    return std::isfinite(r.group_voltage) && std::isfinite(r.group_current) &&
           std::isfinite(r.temperature);
}

using Kind = HistoryVerdict::Kind;

HistoryVerdict NotOurs(const char* tag, std::string reason) {
    return {Kind::kNotOurs, tag, std::move(reason), {}};
}

HistoryVerdict Unreadable(std::string error) {
    return {Kind::kUnreadable, {}, std::move(error), {}};
}

// kMissing, kUnreadable, or kOurs (yet to be judged) for a regular file, whose
// size goes to `size`.
HistoryVerdict Found(const std::string& path, std::uint64_t* size) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return {};
        return Unreadable(path + ": " + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) return Unreadable(path + ": not a regular file");
    *size = static_cast<std::uint64_t>(st.st_size);
    return {Kind::kOurs, {}, {}, {}};
}

// The file judged by its last whole record: it needs a valid time stamp,
// finite values and the device's data id.
HistoryVerdict JudgeLastRecord(const std::string& path, std::uint32_t data_id) {
    std::optional<std::vector<std::uint8_t>> image;
    try {
        image = ReadLastRecord(path, kRecordSize);
    } catch (const std::exception& e) {
        return Unreadable(e.what());
    }
    // Measured whole a moment ago: gone or cut short since, by something else.
    if (!image) return Unreadable(path + ": shrank while being read");
    const Battery32_Data_t record = *DecodeRecord(image->data(), image->size());
    if (!ValidStamp(record.timestamp))
        return NotOurs("not-a-record", "its last record has no valid time stamp");
    if (!FiniteValues(record))
        return NotOurs("not-a-record", "its last record holds values that are not numbers");
    if (record.data_id != data_id) {
        return NotOurs("other-device",
                       "its last record is device " + std::to_string(record.data_id) + "'s");
    }
    return {Kind::kOurs, {}, {}, std::move(*image)};
}

}  // namespace

HistoryVerdict CheckHistoryFile(const std::string& path, std::uint32_t data_id) {
    std::uint64_t size = 0;
    const HistoryVerdict found = Found(path, &size);
    if (found.kind != Kind::kOurs) return found;
    if (size >= kRecordSize) return JudgeLastRecord(path, data_id);
    // Only a torn first record, if anything: it must begin with our data id.
    std::vector<char> head(size);
    std::ifstream in(path, std::ios::binary);
    if (!in.read(head.data(), static_cast<std::streamsize>(head.size()))) {
        return Unreadable(path + ": cannot read");
    }
    std::uint8_t id_bytes[4];  // little-endian, as in the record
    for (int i = 0; i < 4; ++i) id_bytes[i] = static_cast<std::uint8_t>(data_id >> (8 * i));
    if (std::memcmp(head.data(), id_bytes, std::min<std::size_t>(head.size(), 4)) == 0)
        return found;
    return NotOurs("not-a-record",
                   "it is shorter than one record and does not begin like this device's");
}

HistoryVerdict CheckCacheFile(const std::string& path, std::uint32_t data_id) {
    std::uint64_t size = 0;
    const HistoryVerdict found = Found(path, &size);
    if (found.kind != Kind::kOurs) return found;
    if (size == kRecordSize) return JudgeLastRecord(path, data_id);
    return NotOurs("not-a-record", "it is " + std::to_string(size) + " bytes, not one record");
}

std::string SetAside(const std::string& path, const std::string& tag, std::time_t when) {
    std::tm utc{};
    ::gmtime_r(&when, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    const std::string base = path + ".aside-" + tag + "-" + stamp;
    std::string target = base;
    for (int n = 2; ::access(target.c_str(), F_OK) == 0; ++n)
        target = base + "-" + std::to_string(n);
    if (::rename(path.c_str(), target.c_str()) != 0) {
        throw std::runtime_error("cannot rename " + path + " to " + target + ": " +
                                 std::strerror(errno));
    }
    return target;
}

}  // namespace record
