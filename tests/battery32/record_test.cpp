// The 152-byte record image and the cache image a device accepts.

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <vector>

#include "battery32/battery32.h"
#include "tests/support/cout_capture.h"
#include "tests/support/recording_host.h"

namespace {

using Image = std::array<unsigned char, 152>;
using Record = Battery32_Data_t;

void PutFloat(Image& image, std::size_t offset, float value) {
    std::memcpy(image.data() + offset, &value, 4);
}

float GetFloat(const unsigned char* bytes, std::size_t offset) {
    float value;
    std::memcpy(&value, bytes + offset, 4);
    return value;
}

std::size_t CellAt(int i) { return offsetof(Record, cell_voltage) + sizeof(float) * i; }

Image SampleImage() {
    Image image{};
    const std::uint32_t id = 0x11223344;
    std::memcpy(image.data() + offsetof(Record, data_id), &id, 4);
    for (int i = 0; i < 32; ++i) PutFloat(image, CellAt(i), 12.0f + 0.01f * static_cast<float>(i));
    PutFloat(image, offsetof(Record, group_voltage), 389.5f);
    PutFloat(image, offsetof(Record, group_current), -12.5f);
    image[offsetof(Record, status)] = 0x5A;
    PutFloat(image, offsetof(Record, temperature), 25.5f);
    for (int i = 0; i < 7; ++i)
        image[offsetof(Record, timestamp) + i] = static_cast<unsigned char>(0xA0 + i);
    return image;
}

TEST(Record, FieldsLandAtTheirByteOffsetsLittleEndian) {
    Battery32_Data_t record;
    std::memset(&record, 0, sizeof record);
    record.data_id = 0x01020304;
    record.cell_voltage[0] = 1.0f;    // 00 00 80 3F
    record.cell_voltage[31] = -2.0f;  // 00 00 00 C0
    record.group_voltage = 0.5f;      // 00 00 00 3F
    record.group_current = 2.0f;      // 00 00 00 40
    record.status = 0x7E;
    record.temperature = 25.5f;  // 00 00 CC 41
    record.timestamp = ttime{{0xEA, 0x07}, 12, 8, 16, 5, 9};
    const auto* b = reinterpret_cast<const unsigned char*>(&record);
    const std::vector<std::pair<std::size_t, std::vector<unsigned char>>> expected = {
        {0, {0x04, 0x03, 0x02, 0x01}},   {4, {0x00, 0x00, 0x80, 0x3F}},
        {128, {0x00, 0x00, 0x00, 0xC0}}, {132, {0x00, 0x00, 0x00, 0x3F}},
        {136, {0x00, 0x00, 0x00, 0x40}}, {140, {0x7E}},
        {141, {0x00, 0x00, 0xCC, 0x41}}, {145, {0xEA, 0x07, 12, 8, 16, 5, 9}},
    };
    for (const auto& [offset, bytes] : expected) {
        SCOPED_TRACE(offset);
        EXPECT_EQ(std::vector<unsigned char>(b + offset, b + offset + bytes.size()), bytes);
    }
}

TEST(Record, UnalignedTemperatureReadsAndWritesThroughAnyAddress) {
    // Records at every alignment of a buffer: the temperature must come out right
    // wherever the record sits.
    alignas(8) unsigned char buffer[152 + 8];
    for (std::size_t shift = 0; shift < 8; ++shift) {
        auto* record = reinterpret_cast<Battery32_Data_t*>(buffer + shift);
        record->temperature = 31.25f + static_cast<float>(shift);
        EXPECT_EQ(GetFloat(buffer + shift, 141), 31.25f + static_cast<float>(shift));
        const float back = record->temperature;
        EXPECT_EQ(back, 31.25f + static_cast<float>(shift));
    }
}

TEST(Battery32Construction, TypeCellsAndZeroRecord) {
    Battery32 d;
    EXPECT_EQ(d.DeviceType(), "battery_32");
    EXPECT_EQ(d.cell_count_, 32);
    EXPECT_EQ(d.b_mode_, 1);
    EXPECT_FALSE(d.data_ready_);
    const auto* b = reinterpret_cast<const unsigned char*>(&d.data_);
    EXPECT_EQ(std::vector<unsigned char>(b, b + 152), std::vector<unsigned char>(152, 0));
    for (float v : d.cell_voltages_) EXPECT_EQ(v, 0.0f);
}

TEST(CacheImage, AcceptedImageBecomesTheRecordAndTheLiveValues) {
    Battery32 d;
    d.data_id_ = 7;
    const Image image = SampleImage();
    ASSERT_TRUE(d.LoadFromCache(image.data(), 152));
    EXPECT_EQ(std::memcmp(&d.data_, image.data(), 152), 0);
    EXPECT_EQ(d.group_voltage_, 389.5f);
    EXPECT_EQ(d.group_current_, -12.5f);
    EXPECT_EQ(d.temperature_, 25.5f);
    EXPECT_TRUE(d.data_ready_);
    EXPECT_FALSE(d.last_active_time_.is_special());
    for (float v : d.cell_voltages_) EXPECT_EQ(v, 0.0f);  // cells stay until the next reply
    EXPECT_EQ(d.Get_Value(0, "battery_3_value"), GetFloat(image.data(), CellAt(3)));
    EXPECT_EQ(d.Get_Value(0, "temperature"), 25.5f);
}

TEST(CacheImage, StringOverloadPassesBytesAndLength) {
    Battery32 d;
    const Image image = SampleImage();
    VDeviceInterface& as_host_sees_it = d;
    EXPECT_FALSE(as_host_sees_it.LoadFromCache(std::string(151, '\0')));
    EXPECT_TRUE(as_host_sees_it.LoadFromCache(std::string(image.begin(), image.end())));
    EXPECT_EQ(d.group_voltage_, 389.5f);
}

TEST(CacheImage, WrongLengthOrNullIsRejectedAndChangesNothing) {
    test_support::RecordingHost host;
    const Image image = SampleImage();
    std::vector<unsigned char> big(image.begin(), image.end());
    big.push_back(0);
    struct Case {
        const unsigned char* data;
        int length;
    };
    const Case cases[] = {{image.data(), 151},  {big.data(), 153}, {image.data(), 0},
                          {image.data(), -152}, {nullptr, 152},    {nullptr, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        Battery32 d;
        d.group_voltage_ = 1.5f;
        d.group_current_ = 2.5f;
        d.temperature_ = 3.5f;
        EXPECT_FALSE(d.LoadFromCache(c.data, c.length));
        EXPECT_FALSE(d.data_ready_);
        EXPECT_TRUE(d.last_active_time_.is_special());
        EXPECT_EQ(d.group_voltage_, 1.5f);
        EXPECT_EQ(d.group_current_, 2.5f);
        EXPECT_EQ(d.temperature_, 3.5f);
        const auto* record = reinterpret_cast<const unsigned char*>(&d.data_);
        EXPECT_EQ(std::vector<unsigned char>(record, record + sizeof(Record)),
                  std::vector<unsigned char>(sizeof(Record), 0));
    }
    EXPECT_TRUE(host.calls.empty());
}

// A record device that keeps the template's own cache loading and round
// completion (on the template's one instantiation, whose bodies are compiled once).
class PlainRecordDevice : public UniDataDevice<Battery32_Data_t, Battery, kBattery32RecordTypeId> {
public:
    int ProcessBatteryVoltage() override { return 0; }
};

TEST(CacheImage, TemplateVersionRunsARoundCompletionOnAcceptance) {
    test_support::RecordingHost host;
    PlainRecordDevice d;
    const Image image = SampleImage();
    EXPECT_FALSE(d.LoadFromCache(nullptr, 152));
    EXPECT_FALSE(d.LoadFromCache(image.data(), 100));
    EXPECT_TRUE(host.calls.empty());

    {
        test_support::CoutCapture quiet;
        ASSERT_TRUE(d.LoadFromCache(image.data(), 152));
    }
    EXPECT_TRUE(d.data_ready_);
    const auto published = host.Calls(test_support::HostCall::kSendSP);
    ASSERT_EQ(published.size(), 1u);
    EXPECT_EQ(published[0].type_id, 5013);
    // The default end-of-round hook leaves the measured fields as loaded; the
    // time stamp is the completion time.
    const auto& bytes = published[0].bytes;
    const std::size_t stamp_at = offsetof(Record, timestamp);
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin(), bytes.begin() + stamp_at),
              std::vector<unsigned char>(image.begin(), image.begin() + stamp_at));
    ASSERT_FALSE(d.last_active_time_.is_special());
    EXPECT_GT(d.last_active_time_.date().year(), 2000);
    const ttime stamp = get_ttime(d.last_active_time_);
    const auto* stamp_bytes = reinterpret_cast<const unsigned char*>(&stamp);
    EXPECT_EQ(std::vector<unsigned char>(bytes.begin() + stamp_at, bytes.end()),
              std::vector<unsigned char>(stamp_bytes, stamp_bytes + sizeof stamp));
    EXPECT_EQ(host.Calls(test_support::HostCall::kSaveHistory).size(), 1u);
    EXPECT_EQ(d.group_voltage_, 0.0f);  // the template does not touch the live values
}

}  // namespace
