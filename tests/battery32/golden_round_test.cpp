// One polling round pinned as literal bytes: the four commands the device sends,
// the four replies of a module at wire address 0x81 and the 152-byte record that
// results. Written out by hand, so that a change to the frame builders or to the
// record layout cannot carry the expected bytes along with it.

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "battery32/battery32.h"
#include "tests/support/cout_capture.h"
#include "tests/support/device_driver.h"
#include "tests/support/recording_host.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Checksums: the 8-bit wrapping sum of the bytes after the lead, modulo 254.

const Bytes kCellsCommand = {
    0xFE,  // command lead
    0xFE,  // command lead
    0x81,  // wire address: host address 0x01 with its top bit inverted
    0xA1,  // cell voltages
    0x22,  // checksum: 0x81 + 0xA1 = 0x122, 8 bits 0x22, modulo 254
};

const Bytes kGroupCommand = {
    0xFE,  // command lead
    0xFE,  // command lead
    0x81,  // wire address: host address 0x01 with its top bit inverted
    0xA2,  // group voltage
    0x23,  // checksum: 0x81 + 0xA2 = 0x123, 8 bits 0x23, modulo 254
};

const Bytes kCurrentCommand = {
    0xFE,  // command lead
    0xFE,  // command lead
    0x81,  // wire address: host address 0x01 with its top bit inverted
    0xA3,  // current
    0x24,  // checksum: 0x81 + 0xA3 = 0x124, 8 bits 0x24, modulo 254
};

const Bytes kTemperatureCommand = {
    0xFE,  // command lead
    0xFE,  // command lead
    0x81,  // wire address: host address 0x01 with its top bit inverted
    0xA4,  // temperature
    0x25,  // checksum: 0x81 + 0xA4 = 0x125, 8 bits 0x25, modulo 254
};

// Cells 0..31 in 10 mV: 13.00 V rising by 0.03 V, cell 7 not fitted (0), cell 31
// above the 15.0 V window (15.01 V); both read 0.0 in the record.
const Bytes kCellsReply = {
    0xED,  // reply lead
    0x81,  // wire address
    0x05,  // cell 0 high byte: 0x0514 = 1300
    0x14,  // cell 0 low byte
    0x05,  // cell 1 high byte: 0x0517 = 1303
    0x17,  // cell 1 low byte
    0x05,  // cell 2 high byte: 0x051A = 1306
    0x1A,  // cell 2 low byte
    0x05,  // cell 3 high byte: 0x051D = 1309
    0x1D,  // cell 3 low byte
    0x05,  // cell 4 high byte: 0x0520 = 1312
    0x20,  // cell 4 low byte
    0x05,  // cell 5 high byte: 0x0523 = 1315
    0x23,  // cell 5 low byte
    0x05,  // cell 6 high byte: 0x0526 = 1318
    0x26,  // cell 6 low byte
    0x00,  // cell 7 high byte: 0x0000 = 0
    0x00,  // cell 7 low byte
    0x05,  // cell 8 high byte: 0x052C = 1324
    0x2C,  // cell 8 low byte
    0x05,  // cell 9 high byte: 0x052F = 1327
    0x2F,  // cell 9 low byte
    0x05,  // cell 10 high byte: 0x0532 = 1330
    0x32,  // cell 10 low byte
    0x05,  // cell 11 high byte: 0x0535 = 1333
    0x35,  // cell 11 low byte
    0x05,  // cell 12 high byte: 0x0538 = 1336
    0x38,  // cell 12 low byte
    0x05,  // cell 13 high byte: 0x053B = 1339
    0x3B,  // cell 13 low byte
    0x05,  // cell 14 high byte: 0x053E = 1342
    0x3E,  // cell 14 low byte
    0x05,  // cell 15 high byte: 0x0541 = 1345
    0x41,  // cell 15 low byte
    0x05,  // cell 16 high byte: 0x0544 = 1348
    0x44,  // cell 16 low byte
    0x05,  // cell 17 high byte: 0x0547 = 1351
    0x47,  // cell 17 low byte
    0x05,  // cell 18 high byte: 0x054A = 1354
    0x4A,  // cell 18 low byte
    0x05,  // cell 19 high byte: 0x054D = 1357
    0x4D,  // cell 19 low byte
    0x05,  // cell 20 high byte: 0x0550 = 1360
    0x50,  // cell 20 low byte
    0x05,  // cell 21 high byte: 0x0553 = 1363
    0x53,  // cell 21 low byte
    0x05,  // cell 22 high byte: 0x0556 = 1366
    0x56,  // cell 22 low byte
    0x05,  // cell 23 high byte: 0x0559 = 1369
    0x59,  // cell 23 low byte
    0x05,  // cell 24 high byte: 0x055C = 1372
    0x5C,  // cell 24 low byte
    0x05,  // cell 25 high byte: 0x055F = 1375
    0x5F,  // cell 25 low byte
    0x05,  // cell 26 high byte: 0x0562 = 1378
    0x62,  // cell 26 low byte
    0x05,  // cell 27 high byte: 0x0565 = 1381
    0x65,  // cell 27 low byte
    0x05,  // cell 28 high byte: 0x0568 = 1384
    0x68,  // cell 28 low byte
    0x05,  // cell 29 high byte: 0x056B = 1387
    0x6B,  // cell 29 low byte
    0x05,  // cell 30 high byte: 0x056E = 1390
    0x6E,  // cell 30 low byte
    0x05,  // cell 31 high byte: 0x05DD = 1501
    0xDD,  // cell 31 low byte
    0xAF,  // checksum of the 65 bytes from the address on: sum 0x9AF, 8 bits 0xAF, modulo 254
};

const Bytes kGroupReply = {
    0xED,  // reply lead
    0x81,  // wire address
    0x10,  // value high byte: 0x101B = 4123 = 412.3 V in 0.1 V
    0x1B,  // value low byte
    0xAC,  // checksum: 0x81 + 0x10 + 0x1B = 0xAC, 8 bits 0xAC, modulo 254
};

const Bytes kCurrentReply = {
    0xED,  // reply lead
    0x81,  // wire address
    0x00,  // value high byte: 0x007D = 125 = 12.5 A in 0.1 A
    0x7D,  // value low byte
    0x00,  // checksum: 0x81 + 0x00 + 0x7D = 0xFE, 8 bits 0xFE, modulo 254
};

const Bytes kTemperatureReply = {
    0xED,  // reply lead
    0x81,  // wire address
    0x09,  // value high byte: 0x09F6 = 2550 = 25.50 C in 0.01 C
    0xF6,  // value low byte
    0x80,  // checksum: 0x81 + 0x09 + 0xF6 = 0x180, 8 bits 0x80, modulo 254
};

// The record up to its time stamp: little-endian, floats in IEEE 754 binary32.
const Bytes kRecordBeforeTimeStamp = {
    0xE9, 0x03, 0x00, 0x00,  // data_id = 1001
    0x00, 0x00, 0x50, 0x41,  // cell_voltage[0] = 13
    0xE1, 0x7A, 0x50, 0x41,  // cell_voltage[1] = 13.0299997
    0xC3, 0xF5, 0x50, 0x41,  // cell_voltage[2] = 13.0600004
    0xA4, 0x70, 0x51, 0x41,  // cell_voltage[3] = 13.0900002
    0x85, 0xEB, 0x51, 0x41,  // cell_voltage[4] = 13.1199999
    0x66, 0x66, 0x52, 0x41,  // cell_voltage[5] = 13.1499996
    0x48, 0xE1, 0x52, 0x41,  // cell_voltage[6] = 13.1800003
    0x00, 0x00, 0x00, 0x00,  // cell_voltage[7] = 0
    0x0A, 0xD7, 0x53, 0x41,  // cell_voltage[8] = 13.2399998
    0xEC, 0x51, 0x54, 0x41,  // cell_voltage[9] = 13.2700005
    0xCD, 0xCC, 0x54, 0x41,  // cell_voltage[10] = 13.3000002
    0xAE, 0x47, 0x55, 0x41,  // cell_voltage[11] = 13.3299999
    0x8F, 0xC2, 0x55, 0x41,  // cell_voltage[12] = 13.3599997
    0x71, 0x3D, 0x56, 0x41,  // cell_voltage[13] = 13.3900003
    0x52, 0xB8, 0x56, 0x41,  // cell_voltage[14] = 13.4200001
    0x33, 0x33, 0x57, 0x41,  // cell_voltage[15] = 13.4499998
    0x14, 0xAE, 0x57, 0x41,  // cell_voltage[16] = 13.4799995
    0xF6, 0x28, 0x58, 0x41,  // cell_voltage[17] = 13.5100002
    0xD7, 0xA3, 0x58, 0x41,  // cell_voltage[18] = 13.54
    0xB8, 0x1E, 0x59, 0x41,  // cell_voltage[19] = 13.5699997
    0x9A, 0x99, 0x59, 0x41,  // cell_voltage[20] = 13.6000004
    0x7B, 0x14, 0x5A, 0x41,  // cell_voltage[21] = 13.6300001
    0x5C, 0x8F, 0x5A, 0x41,  // cell_voltage[22] = 13.6599998
    0x3D, 0x0A, 0x5B, 0x41,  // cell_voltage[23] = 13.6899996
    0x1F, 0x85, 0x5B, 0x41,  // cell_voltage[24] = 13.7200003
    0x00, 0x00, 0x5C, 0x41,  // cell_voltage[25] = 13.75
    0xE1, 0x7A, 0x5C, 0x41,  // cell_voltage[26] = 13.7799997
    0xC3, 0xF5, 0x5C, 0x41,  // cell_voltage[27] = 13.8100004
    0xA4, 0x70, 0x5D, 0x41,  // cell_voltage[28] = 13.8400002
    0x85, 0xEB, 0x5D, 0x41,  // cell_voltage[29] = 13.8699999
    0x66, 0x66, 0x5E, 0x41,  // cell_voltage[30] = 13.8999996
    0x00, 0x00, 0x00, 0x00,  // cell_voltage[31] = 0
    0x66, 0x26, 0xCE, 0x43,  // group_voltage = 412.299988 (412.3 V)
    0x00, 0x00, 0x48, 0x41,  // group_current = 12.5
    0x00,                    // status
    0x00, 0x00, 0xCC, 0x41,  // temperature = 25.5
};

TEST(GoldenRound, CommandsRepliesAndRecordByteForByte) {
    test_support::RecordingHost host;
    test_support::CoutCapture quiet;
    auto device = test_support::MakeDevice(1001, 0x01);

    device->RefreshStatus();
    for (const Bytes* reply : {&kCellsReply, &kGroupReply, &kCurrentReply, &kTemperatureReply})
        test_support::Feed(*device, *reply);

    EXPECT_EQ(host.SentFrames(), (std::vector<Bytes>{kCellsCommand, kGroupCommand, kCurrentCommand,
                                                     kTemperatureCommand}));
    const auto saved = host.Calls(test_support::HostCall::kSaveHistory);
    ASSERT_EQ(saved.size(), 1u);
    const Bytes& record = saved[0].bytes;
    ASSERT_EQ(record.size(), 152u);
    EXPECT_EQ(Bytes(record.begin(), record.begin() + 145), kRecordBeforeTimeStamp);

    // The time stamp is the round's completion time, the device's last activity:
    // year (16 bits, little-endian), month, day, hour, minute, second.
    const auto done = device->last_active_time_;
    const auto date = done.date();
    const auto time = done.time_of_day();
    const unsigned year = date.year();
    const Bytes stamp = {
        static_cast<std::uint8_t>(year & 0xFF),   static_cast<std::uint8_t>(year >> 8),
        static_cast<std::uint8_t>(date.month()),  static_cast<std::uint8_t>(date.day()),
        static_cast<std::uint8_t>(time.hours()),  static_cast<std::uint8_t>(time.minutes()),
        static_cast<std::uint8_t>(time.seconds())};
    EXPECT_EQ(Bytes(record.begin() + 145, record.end()), stamp);
}

}  // namespace
