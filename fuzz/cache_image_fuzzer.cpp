// Cache images: the host may hand back any bytes with any length, a negative
// one or a null pointer included. Only an image of exactly one record is taken;
// anything else changes nothing. After each attempt every value the device
// answers must come from the last image it took.
//
// Input: a sequence of attempts, each an operation byte and its operands:
//   op % 6 == 0  null pointer, 32-bit length from the next 4 bytes
//   op % 6 == 1  buffer of (next byte) bytes, that length
//   op % 6 == 2  buffer of one record's size from the input, that length
//   op % 6 == 3  buffer of (next byte) bytes, a negative length from the next 4 bytes
//   op % 6 == 4  the same bytes as a std::string (the string overload)
//   op % 6 == 5  buffer of (next byte) + 152 bytes, a shorter length from the next byte
// Buffers are exactly as large as the data they hold, so any read beyond the
// length the caller gave is caught.

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "battery32/battery32.h"
#include "fuzz/fuzz_support.h"

namespace {

constexpr int kRecordSize = static_cast<int>(sizeof(Battery32_Data_t));
// Fills an image where the input runs out, so the requested length is kept.
constexpr std::uint8_t kPadding = 0x5A;

bool SameFloat(float a, float b) {
    return (std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0;
}

float FloatAt(const std::vector<unsigned char>& image, std::size_t offset) {
    float v;
    std::memcpy(&v, image.data() + offset, sizeof v);
    return v;
}

// Every name the device answers for, and a few it does not.
void CheckLookups(const Battery32& dev, const std::optional<std::vector<unsigned char>>& image) {
    auto ask = [&dev](const std::string& name) -> std::optional<float> {
        try {
            return dev.Get_Value(0, name);
        } catch (const std::out_of_range&) {
            return std::nullopt;
        }
    };
    for (int i = 0; i < kBattery32Cells; ++i) {
        const auto got = ask("battery_" + std::to_string(i) + "_value");
        FUZZ_CHECK(got.has_value() == image.has_value());
        if (image)
            FUZZ_CHECK(
                SameFloat(*got, FloatAt(*image, offsetof(Battery32_Data_t, cell_voltage) +
                                                    sizeof(float) * static_cast<std::size_t>(i))));
    }
    const struct {
        const char* name;
        std::size_t offset;
    } scalars[] = {{"group_voltage", offsetof(Battery32_Data_t, group_voltage)},
                   {"group_current", offsetof(Battery32_Data_t, group_current)},
                   {"temperature", offsetof(Battery32_Data_t, temperature)}};
    for (const auto& s : scalars) {
        const auto got = ask(s.name);
        FUZZ_CHECK(got.has_value() == image.has_value());
        if (image) FUZZ_CHECK(SameFloat(*got, FloatAt(*image, s.offset)));
    }
    for (const char* name : {"battery_32_value", "status", "data_id", ""})
        FUZZ_CHECK(!ask(name).has_value());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::SilenceStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_support::InputReader in(data, size);
    Battery32 dev;
    std::optional<std::vector<unsigned char>> taken;  // the last image accepted

    while (!in.Empty()) {
        const std::uint8_t op = in.Byte();
        std::vector<unsigned char> buffer;
        const unsigned char* pointer = nullptr;
        int length = 0;
        bool as_string = false;
        switch (op % 6) {
            case 0:
                length = in.Int32();
                break;
            case 1:
                buffer = in.TakePadded(in.Byte(), kPadding);
                length = static_cast<int>(buffer.size());
                break;
            case 2:
                buffer = in.TakePadded(kRecordSize, kPadding);
                length = kRecordSize;
                break;
            case 3: {
                buffer = in.TakePadded(in.Byte(), kPadding);
                const std::int32_t n = in.Int32();
                length = n < 0 ? n : (n == 0 ? INT_MIN : -n);
                break;
            }
            case 4:
                buffer = in.TakePadded(in.Byte(), kPadding);
                length = static_cast<int>(buffer.size());
                as_string = true;
                break;
            default:
                buffer = in.TakePadded(kRecordSize + in.Byte(), kPadding);
                length = static_cast<int>(buffer.size()) - 1 - in.Byte();
                break;
        }
        if (op % 6 != 0) pointer = buffer.data();

        const Battery32_Data_t before = dev.data_;
        bool accepted;
        if (as_string) {
            accepted = dev.LoadFromCache(std::string(buffer.begin(), buffer.end()));
        } else {
            accepted = dev.LoadFromCache(pointer, length);
        }
        const bool acceptable = pointer != nullptr && length == kRecordSize;
        FUZZ_CHECK(accepted == acceptable);
        if (accepted) {
            taken.emplace(buffer.begin(), buffer.begin() + kRecordSize);
            FUZZ_CHECK(std::memcmp(&dev.data_, taken->data(), sizeof dev.data_) == 0);
        } else {
            FUZZ_CHECK(std::memcmp(&dev.data_, &before, sizeof before) == 0);
        }
        CheckLookups(dev, taken);
    }
    return 0;
}
