// Value lookup: any name the host asks for, however long or odd, gets either a
// value of the device's record or std::out_of_range, and the value is the one
// the name denotes.
//
// The expected answer comes from a plain reading of the naming rule (the first
// "battery_<digits>_value" anywhere in the name, the index saturating at the
// largest int; otherwise one of the three string-level names), written without
// the device's single-pass scan so that the two can disagree.
//
// Input: byte 0 bit 0 asks for the name to be repeated (bytes 1-2 give the
// repeat count), making names of up to a few hundred kilobytes; the rest is the name.

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>

#include "battery32/battery32.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr std::size_t kMaxNameLength = 256 * 1024;

Battery32_Data_t MakeRecord() {
    Battery32_Data_t r{};
    r.data_id = 31;
    for (int i = 0; i < kBattery32Cells; ++i)
        r.cell_voltage[i] = 10.0f + 0.125f * static_cast<float>(i);
    r.group_voltage = 409.5f;
    r.group_current = -12.25f;
    r.status = 0;
    r.temperature = 23.5f;
    return r;
}

const Battery32_Data_t kRecord = MakeRecord();

std::optional<int> ExpectedCellIndex(const std::string& name) {
    static const std::string kPrefix = "battery_";
    static const std::string kSuffix = "_value";
    for (std::size_t at = name.find(kPrefix); at != std::string::npos;
         at = name.find(kPrefix, at + 1)) {
        std::size_t end = at + kPrefix.size();
        while (end < name.size() && name[end] >= '0' && name[end] <= '9') ++end;
        const std::size_t digits = end - (at + kPrefix.size());
        if (digits == 0 || name.compare(end, kSuffix.size(), kSuffix) != 0) continue;
        std::size_t first = at + kPrefix.size();
        while (first + 1 < end && name[first] == '0') ++first;  // leading zeros
        if (end - first > 10) return INT_MAX;
        const long long v = std::stoll(name.substr(first, end - first));
        return v > INT_MAX ? INT_MAX : static_cast<int>(v);
    }
    return std::nullopt;
}

// The record is packed: its fields are read by value, never bound to a reference.
std::optional<float> Expected(const std::string& name) {
    if (const auto index = ExpectedCellIndex(name)) {
        if (*index >= 0 && *index < kBattery32Cells)
            return static_cast<float>(kRecord.cell_voltage[*index]);
    }
    if (name == "group_voltage") return static_cast<float>(kRecord.group_voltage);
    if (name == "group_current") return static_cast<float>(kRecord.group_current);
    if (name == "temperature") return static_cast<float>(kRecord.temperature);
    return std::nullopt;
}

std::optional<float> Ask(const Battery32& dev, const std::string& name) {
    try {
        return dev.Get_Value(0, name);
    } catch (const std::out_of_range&) {
        return std::nullopt;
    }
}

bool Same(std::optional<float> a, std::optional<float> b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || std::memcmp(&*a, &*b, sizeof(float)) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::SilenceStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::string piece(reinterpret_cast<const char*>(data + 3), size - 3);
    std::string name = piece;
    if ((data[0] & 1) && !piece.empty()) {
        const std::size_t repeats = 1 + ((data[1] << 8) | data[2]);
        const std::size_t total = std::min(kMaxNameLength, repeats * piece.size());
        name.clear();
        name.reserve(total);
        while (name.size() < total)
            name.append(piece, 0, std::min(piece.size(), total - name.size()));
    }

    static Battery32* fresh = new Battery32;  // never ready: no round, no cache
    FUZZ_CHECK(!Ask(*fresh, name).has_value());

    Battery32 dev;
    FUZZ_CHECK(dev.LoadFromCache(reinterpret_cast<const unsigned char*>(&kRecord),
                                 static_cast<int>(sizeof kRecord)));
    FUZZ_CHECK(Same(Ask(dev, name), Expected(name)));
    return 0;
}
