#include "tools/record/record_image.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace record_tools {

std::optional<Battery32_Data_t> DecodeRecord(const std::uint8_t* data, std::size_t length) {
    if (data == nullptr || length != kRecordSize) return std::nullopt;
    Battery32_Data_t record;
    std::memcpy(&record, data, kRecordSize);
    return record;
}

std::string FormatTime(const ttime& stamp) {
    const ttime unset{};
    if (std::memcmp(&stamp, &unset, sizeof stamp) == 0) return "";
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", StampYear(stamp), stamp.month,
                  stamp.day, stamp.hour, stamp.minute, stamp.second);
    return text;
}

std::string FormatFloat(float value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char text[48];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

}  // namespace record_tools
