#include "tools/record/record_format.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "tools/common/time_text.h"

namespace record {
namespace {

std::string JsonNumber(float value) { return std::isfinite(value) ? FormatFloat(value) : "null"; }

// "12 13.380 V": the cell's number for people and its voltage.
std::string CellText(const Battery32_Data_t& record, int index) {
    return std::to_string(index + 1) + " " + Fixed(record.cell_voltage[index], 3) + " V";
}

}  // namespace

std::optional<Battery32_Data_t> DecodeRecord(const std::uint8_t* data, std::size_t length) {
    if (data == nullptr || length != kRecordSize) return std::nullopt;
    Battery32_Data_t record;
    std::memcpy(&record, data, kRecordSize);
    return record;
}

bool ValidStamp(const ttime& t) {
    const unsigned year = StampYear(t);
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1970 || year > 9999 || t.month < 1 || t.month > 12 || t.day < 1) return false;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const unsigned days = kDays[t.month - 1] + (t.month == 2 && leap ? 1 : 0);
    return t.day <= days && t.hour < 24 && t.minute < 60 && t.second < 60;
}

std::string FormatTime(const ttime& stamp) {
    const ttime unset{};
    if (std::memcmp(&stamp, &unset, sizeof stamp) == 0) return "";
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", StampYear(stamp), stamp.month,
                  stamp.day, stamp.hour, stamp.minute, stamp.second);
    return text;
}

std::string FormatTime(const ttime& stamp, TimeForm form) {
    if (form == TimeForm::kLocal) return FormatTime(stamp);
    const ttime unset{};
    if (std::memcmp(&stamp, &unset, sizeof stamp) == 0) return "";
    std::tm local{};
    local.tm_year = static_cast<int>(StampYear(stamp)) - 1900;
    local.tm_mon = stamp.month - 1;
    local.tm_mday = stamp.day;
    local.tm_hour = stamp.hour;
    local.tm_min = stamp.minute;
    local.tm_sec = stamp.second;
    local.tm_isdst = -1;
    return time_text::IsoTime(local);
}

std::string Fixed(float value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, static_cast<double>(value));
    return text;
}

std::string FormatFloat(float value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char text[48];
    const auto result = std::to_chars(text, text + sizeof text, value);
    return std::string(text, result.ptr);
}

std::string RoundLine(const Battery32_Data_t& record, std::uint64_t round,
                      std::optional<std::uint64_t> threshold_checks, bool with_time) {
    const std::string time = FormatTime(record.timestamp);
    const std::string when = with_time ? "  " + (time.empty() ? "(no time)" : time) : "";
    std::string line = "[" + std::to_string(record.data_id) + "] round " + std::to_string(round) +
                       when + "  group " + Fixed(record.group_voltage, 2) + " V  current " +
                       Fixed(record.group_current, 2) + " A  temp " + Fixed(record.temperature, 2) +
                       " C";
    // Extremes over the cells that hold a reading (a cell without one is 0).
    int readings = 0, lowest = -1, highest = -1;
    for (int i = 0; i < kBattery32Cells; ++i) {
        const float v = record.cell_voltage[i];
        if (!(v > 0.0f)) continue;
        ++readings;
        if (lowest < 0 || v < record.cell_voltage[lowest]) lowest = i;
        if (highest < 0 || v > record.cell_voltage[highest]) highest = i;
    }
    if (readings == 0) {
        line += "  no cell readings";
    } else {
        line +=
            "  low cell " + CellText(record, lowest) + "  high cell " + CellText(record, highest);
        const int missing = kBattery32Cells - readings;
        if (missing > 0) {
            line += "  (" + std::to_string(missing) + (missing == 1 ? " cell" : " cells") +
                    " without reading)";
        }
    }
    if (threshold_checks) line += "  checks " + std::to_string(*threshold_checks);
    return line;
}

std::string JsonLine(const Battery32_Data_t& record, std::optional<std::uint64_t> round,
                     std::optional<std::uint64_t> threshold_checks, TimeForm time_form) {
    std::string out = "{\"data_id\":" + std::to_string(record.data_id);
    if (round) out += ",\"round\":" + std::to_string(*round);
    // Digits, separators and the offset only: no escaping needed.
    out += ",\"time\":\"" + FormatTime(record.timestamp, time_form) + "\"";
    out += ",\"cell_voltage\":[";
    for (int i = 0; i < kBattery32Cells; ++i) {
        if (i != 0) out += ',';
        out += JsonNumber(record.cell_voltage[i]);
    }
    out += "],\"group_voltage\":" + JsonNumber(record.group_voltage);
    out += ",\"group_current\":" + JsonNumber(record.group_current);
    out += ",\"status\":" + std::to_string(record.status);
    out += ",\"temperature\":" + JsonNumber(record.temperature);
    if (threshold_checks) out += ",\"threshold_checks\":" + std::to_string(*threshold_checks);
    return out + "}";
}

std::string CsvHeader() {
    std::string out = "data_id,time";
    for (int i = 1; i <= kBattery32Cells; ++i) out += ",cell_" + std::to_string(i);
    return out + ",group_voltage,group_current,status,temperature";
}

std::string CsvRow(const Battery32_Data_t& record) {
    std::string out =
        std::to_string(record.data_id) + "," + FormatTime(record.timestamp, TimeForm::kWithOffset);
    for (int i = 0; i < kBattery32Cells; ++i) out += "," + FormatFloat(record.cell_voltage[i]);
    out += "," + FormatFloat(record.group_voltage) + "," + FormatFloat(record.group_current) + "," +
           std::to_string(record.status) + "," + FormatFloat(record.temperature);
    return out;
}

}  // namespace record
