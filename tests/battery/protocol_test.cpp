#include "battery/protocol.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "battery/battery.h"
#include "tools/module/module_wire.h"

namespace {

namespace bp = battery_protocol;
using module::Bytes;

TEST(Checksum, WrapsAtEightBitsThenReducesModulo254) {
    struct Case {
        Bytes bytes;
        std::uint8_t expected;
    };
    const Case cases[] = {
        {{}, 0},
        {{0x01, 0xA1}, 0xA2},
        {{0x5D, 0xA1}, 0x00},        // sum 254
        {{0x5D, 0xA2}, 0x01},        // sum 255
        {{0x60, 0xA1}, 0x01},        // sum 257 wraps to 1
        {{0xFF, 0xFF, 0x00}, 0x00},  // 510 wraps to 254
        {{0xFD}, 0xFD},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bp::Checksum(c.bytes.data(), static_cast<int>(c.bytes.size())), c.expected);
        Bytes copy = c.bytes;
        EXPECT_EQ(Battery::GetMMCheckSum(copy.data(), static_cast<int>(copy.size())), c.expected);
    }
}

TEST(CommandFrame, MatchesTheModuleExamples) {
    struct Case {
        std::uint8_t addr, code;
        bp::CommandFrame frame;
    };
    const Case cases[] = {
        {0x01, 0xA1, {0xFE, 0xFE, 0x01, 0xA1, 0xA2}}, {0x01, 0xA2, {0xFE, 0xFE, 0x01, 0xA2, 0xA3}},
        {0x01, 0xA3, {0xFE, 0xFE, 0x01, 0xA3, 0xA4}}, {0x01, 0xA4, {0xFE, 0xFE, 0x01, 0xA4, 0xA5}},
        {0x5D, 0xA1, {0xFE, 0xFE, 0x5D, 0xA1, 0x00}}, {0x5D, 0xA2, {0xFE, 0xFE, 0x5D, 0xA2, 0x01}},
        {0x60, 0xA1, {0xFE, 0xFE, 0x60, 0xA1, 0x01}},
    };
    for (const auto& c : cases) EXPECT_EQ(bp::BuildCommand(c.addr, c.code), c.frame);
}

TEST(CommandFrame, PendingNumbersMapToTheirCommandCodes) {
    const std::pair<int, std::uint8_t> cases[] = {{1, 0xA1}, {2, 0xA2}, {3, 0xA3}, {4, 0xA4},
                                                  {0, 0},    {5, 0},    {-1, 0}};
    for (const auto& [pending, code] : cases)
        EXPECT_EQ(bp::CommandForPending(pending), code) << pending;
}

TEST(ValueReply, IsCheckedForLengthLeadAddressAndChecksum) {
    const Bytes good = module::ValueReplyFrame(0x81, 5350);
    EXPECT_TRUE(bp::IsValidValueReply(good.data(), good.size(), 0x81));
    EXPECT_FALSE(bp::IsValidValueReply(good.data(), 4, 0x81));
    EXPECT_FALSE(bp::IsValidValueReply(good.data(), good.size(), 0x82));
    Bytes bad_lead = good;
    bad_lead[0] = 0xEE;
    EXPECT_FALSE(bp::IsValidValueReply(bad_lead.data(), bad_lead.size(), 0x81));
    for (std::uint8_t checksum : {0xFE, 0xFF}) {
        Bytes bad = good;
        bad[4] = checksum;
        EXPECT_FALSE(bp::IsValidValueReply(bad.data(), bad.size(), 0x81));
    }
}

TEST(ValueReply, ChecksumNeverMatchesAbove253) {
    // Whatever the payload, a checksum byte of 0xFE or 0xFF is rejected.
    for (unsigned hi = 0; hi < 256; hi += 5) {
        for (unsigned lo = 0; lo < 256; lo += 3) {
            for (std::uint8_t checksum : {0xFE, 0xFF}) {
                const Bytes r{0xED, 0x01, static_cast<std::uint8_t>(hi),
                              static_cast<std::uint8_t>(lo), checksum};
                ASSERT_FALSE(bp::IsValidValueReply(r.data(), r.size(), 0x01));
            }
        }
    }
}

TEST(CellReply, HeaderAndChecksum) {
    const Bytes good = module::FlatCellReplyFrame(0x02, 1250);
    ASSERT_EQ(good.size(), bp::kCellReplyLength);
    EXPECT_TRUE(bp::HasCellReplyHeader(good.data(), good.size(), 0x02));
    EXPECT_TRUE(bp::HasValidCellReplyChecksum(good.data()));
    EXPECT_FALSE(bp::HasCellReplyHeader(good.data(), 66, 0x02));
    EXPECT_FALSE(bp::HasCellReplyHeader(good.data(), good.size(), 0x03));
    Bytes bad = good;
    bad[30] ^= 0x01;
    EXPECT_FALSE(bp::HasValidCellReplyChecksum(bad.data()));
}

TEST(Decoding, GroupVoltageScaleGainAndOffset) {
    EXPECT_FLOAT_EQ(bp::ScaleGroupVoltage(5350, 2, 1.0f, 0.0f), 53.5f);
    EXPECT_FLOAT_EQ(bp::ScaleGroupVoltage(535, 1, 1.0f, 0.0f), 53.5f);
    EXPECT_FLOAT_EQ(bp::ScaleGroupVoltage(535, 7, 1.0f, 0.0f), 53.5f);
    EXPECT_FLOAT_EQ(bp::ScaleGroupVoltage(535, 1, 2.0f, 0.5f), 107.5f);
    // Gain before offset, in single precision with a real division.
    const float expected = (static_cast<float>(3333) / 10.0f) * 1.1f + 0.3f;
    EXPECT_EQ(bp::ScaleGroupVoltage(3333, 1, 1.1f, 0.3f), expected);
}

TEST(Decoding, CurrentRules) {
    EXPECT_EQ(bp::SensorCurrent(2500), 0.0f);
    EXPECT_EQ(bp::SensorCurrent(5000), 100.0f);
    EXPECT_EQ(bp::SensorCurrent(0), -100.0f);
    EXPECT_NEAR(bp::SensorCurrent(65535), 2521.4f, 0.001f);
    EXPECT_FLOAT_EQ(bp::PlainCurrent(125), 12.5f);
}

TEST(Decoding, TemperatureWindow) {
    struct Case {
        std::uint16_t raw;
        bool accepted;
    };
    const Case cases[] = {{0, false},    {1, true},      {2550, true},
                          {10000, true}, {10001, false}, {65535, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        EXPECT_EQ(bp::IsAcceptedTemperature(bp::ScaleTemperature(c.raw)), c.accepted);
    }
    EXPECT_EQ(bp::ScaleTemperature(10000), 100.0f);
}

TEST(Decoding, CellWindowAndScaleByType) {
    struct Case {
        int type;
        std::uint16_t raw;
        float expected;
    };
    const Case cases[] = {
        {6, 4500, 4.5f}, {6, 4499, 0.0f},  {6, 7500, 7.5f}, {6, 7501, 0.0f},    {0, 900, 9.0f},
        {0, 899, 0.0f},  {0, 1500, 15.0f}, {0, 1501, 0.0f}, {12, 1234, 12.34f}, {6, 1234, 0.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        bp::CellScaling s;
        s.battery_type = c.type;
        EXPECT_FLOAT_EQ(bp::ScaleCellVoltage(c.raw, 5, s), c.expected);
    }
}

TEST(Decoding, AdjustmentsApplyBeforeTheWindowAndByWirePosition) {
    const bp::CellScaling plain;  // wire order, no adjustment at any position, 10 mV cells
    for (std::size_t p : {0u, 15u, 31u}) {
        EXPECT_EQ(bp::ScaleCellVoltage(1200, p, plain), 12.0f) << p;
    }
    std::array<std::uint16_t, 32> raw{};
    raw[0] = 1000;
    float cells[32];
    bp::DecodeCellReply(module::CellReplyFrame(0x01, raw).data(), plain, cells);
    EXPECT_EQ(cells[0], 10.0f);
    bp::CellScaling s;
    s.adjust = 0.5f;
    s.t0 = 1.0f;
    s.t31 = -1.0f;
    EXPECT_FLOAT_EQ(bp::ScaleCellVoltage(1200, 0, s), 13.5f);
    EXPECT_FLOAT_EQ(bp::ScaleCellVoltage(1200, 31, s), 11.5f);
    EXPECT_FLOAT_EQ(bp::ScaleCellVoltage(1200, 15, s), 12.5f);
    EXPECT_FLOAT_EQ(bp::ScaleCellVoltage(1480, 15, s), 0.0f);  // 15.3 after the adjustment
}

TEST(Decoding, DirectionReversesCellOrderWithOffsetsFollowingTheWire) {
    std::array<std::uint16_t, 32> raw;
    for (std::size_t p = 0; p < raw.size(); ++p) raw[p] = static_cast<std::uint16_t>(1000 + p);
    const Bytes reply = module::CellReplyFrame(0x01, raw);
    bp::CellScaling s;
    s.t0 = 0.5f;
    float cells[32];
    for (int dir : {1, 2, -1}) {  // any non-zero value reverses
        SCOPED_TRACE(dir);
        s.dir = dir;
        bp::DecodeCellReply(reply.data(), s, cells);
        EXPECT_FLOAT_EQ(cells[31], 10.5f);  // wire position 0, with t0
        EXPECT_FLOAT_EQ(cells[0], 10.31f);
        EXPECT_FLOAT_EQ(cells[30], 10.01f);
    }
    s.dir = 0;
    bp::DecodeCellReply(reply.data(), s, cells);
    EXPECT_FLOAT_EQ(cells[0], 10.5f);
    EXPECT_FLOAT_EQ(cells[31], 10.31f);
}

}  // namespace
