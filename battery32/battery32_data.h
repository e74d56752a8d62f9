#pragma once
// The 32-cell string record: published to the host, saved as history and handed
// back from the host's cache. The byte image is a stored format: packed,
// little-endian, IEEE 754 binary32 floats.
//
//   offset size field
//      0     4  data_id        uint32
//      4   128  cell_voltage   float32 x 32, cells 0..31, volts
//    132     4  group_voltage  float32, volts
//    136     4  group_current  float32, amperes
//    140     1  status         uint8, always 0
//    141     4  temperature    float32, degrees Celsius (unaligned)
//    145     7  timestamp      host ttime
//    152

#include <cstddef>
#include <cstdint>

#include "host/ttime.h"

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "The record image is little-endian and is laid out in native byte order"
#endif

inline constexpr int kBattery32Cells = 32;
inline constexpr int kBattery32RecordTypeId = 5013;

#pragma pack(push, 1)
struct Battery32_Data_t {
    std::uint32_t data_id;
    float cell_voltage[kBattery32Cells];
    float group_voltage;
    float group_current;
    std::uint8_t status;
    // Unaligned: read and write it by value only (never through a pointer or
    // reference), so the compiler emits byte-safe accesses.
    float temperature;
    ttime timestamp;
};
#pragma pack(pop)

static_assert(sizeof(float) == 4, "binary32 floats");
static_assert(sizeof(Battery32_Data_t) == 152, "record is 152 bytes");
static_assert(alignof(Battery32_Data_t) == 1, "record is packed");
static_assert(offsetof(Battery32_Data_t, data_id) == 0, "data_id at 0");
static_assert(offsetof(Battery32_Data_t, cell_voltage) == 4, "cell_voltage at 4");
static_assert(offsetof(Battery32_Data_t, group_voltage) == 132, "group_voltage at 132");
static_assert(offsetof(Battery32_Data_t, group_current) == 136, "group_current at 136");
static_assert(offsetof(Battery32_Data_t, status) == 140, "status at 140");
static_assert(offsetof(Battery32_Data_t, temperature) == 141, "temperature at 141");
static_assert(offsetof(Battery32_Data_t, timestamp) == 145, "timestamp at 145");
