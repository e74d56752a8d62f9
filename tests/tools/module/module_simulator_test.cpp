// The simulated module: its frames must be what the device's own protocol code
// accepts, its faults must look exactly as documented, and its schedule and
// noise must be reproducible.

#include "tools/module/module_simulator.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "battery/protocol.h"

namespace module {
namespace {

using namespace std::chrono_literals;

ModuleConfig Plain(std::uint8_t address) {
    ModuleConfig m;
    m.address = address;
    m.cells = CellProfile::Ramp(12.0, 13.55);
    m.current = 12.5;
    m.temperature = 25.3;
    return m;
}

Bytes Heard(std::uint8_t address, std::uint8_t code) {
    const auto f = battery_protocol::BuildCommand(address, code);
    return Bytes(f.begin(), f.end());
}

Bytes Concatenated(const std::vector<Transmission>& ts) {
    Bytes all;
    for (const auto& t : ts) all.insert(all.end(), t.bytes.begin(), t.bytes.end());
    return all;
}

// Written independently of the device's checksum, the two must agree on every
// frame the device can send, wrap-arounds of the modulo-254 sum included.
TEST(ModuleSimulator, UnderstandsEveryCommandTheDeviceCanBuild) {
    for (int a = 0; a < 256; ++a) {
        ModuleSimulator sim;
        sim.AddModule(Plain(static_cast<std::uint8_t>(a)));
        for (std::uint8_t code : {kCmdCells, kCmdGroupVoltage, kCmdCurrent, kCmdTemperature}) {
            const Bytes command = Heard(static_cast<std::uint8_t>(a), code);
            EXPECT_EQ(sim.Receive(command.data(), command.size()).size(), 1u)
                << "address " << a << " code " << int(code);
        }
    }
}

TEST(ModuleSimulator, RepliesPassTheDeviceChecksAndCarryTheReadings) {
    for (int a : {0, 1, 0x7F, 0x80, 0xFE, 0xFF}) {
        SCOPED_TRACE(a);
        const auto address = static_cast<std::uint8_t>(a);
        ModuleSimulator sim;
        sim.AddModule(Plain(address));

        const Bytes cells = Concatenated(sim.Answer(address, kCmdCells));
        ASSERT_EQ(cells.size(), battery_protocol::kCellReplyLength);
        EXPECT_TRUE(battery_protocol::HasCellReplyHeader(cells.data(), cells.size(), address));
        EXPECT_TRUE(battery_protocol::HasValidCellReplyChecksum(cells.data()));
        EXPECT_EQ(battery_protocol::ReadBigEndian16(&cells[2]), 1200);       // cell 1: 12.00 V
        EXPECT_EQ(battery_protocol::ReadBigEndian16(&cells[2 + 62]), 1355);  // cell 32: 13.55 V

        struct Value {
            std::uint8_t code;
            std::uint16_t raw;
        };
        // Group voltage defaults to the sum of the cells: 32 * (12.0 + 13.55) / 2.
        for (const Value v : {Value{kCmdGroupVoltage, 4088}, Value{kCmdCurrent, 125},
                              Value{kCmdTemperature, 2530}}) {
            const Bytes reply = Concatenated(sim.Answer(address, v.code));
            ASSERT_EQ(reply.size(), battery_protocol::kValueReplyLength);
            EXPECT_TRUE(battery_protocol::IsValidValueReply(reply.data(), reply.size(), address));
            EXPECT_EQ(battery_protocol::ReadBigEndian16(&reply[2]), v.raw) << int(v.code);
        }
    }
}

TEST(ModuleSimulator, ChecksumIsTheByteSumModulo254) {
    struct Case {
        std::uint8_t address;
        std::uint16_t raw;
        std::uint8_t sum;
    };
    // 0x01+0x10+0xE0 = 0xF1; 0xFE+0+0 = 254 -> 0; 0xFF+0xFF+0xFF wraps to 0xFD.
    for (const Case c : {Case{0x01, 0x10E0, 0xF1}, Case{0xFE, 0x0000, 0x00},
                         Case{0xFF, 0xFFFF, 0xFD}, Case{0xFF, 0x0000, 0x01}}) {
        const Bytes frame = ValueReplyFrame(c.address, c.raw);
        EXPECT_EQ(frame.back(), c.sum) << int(c.address) << " " << c.raw;
    }
}

TEST(ModuleSimulator, FindsCommandsHoweverTheBytesArrive) {
    ModuleSimulator sim;
    sim.AddModule(Plain(3));
    Bytes stream = {0x00, 0xFE, 0x13};  // noise, a stray lead
    Bytes bad = Heard(3, kCmdCurrent);
    bad[4] ^= 0x01;  // a frame with a wrong sum
    stream.insert(stream.end(), bad.begin(), bad.end());
    for (std::uint8_t code : {kCmdCells, kCmdTemperature}) {
        const Bytes good = Heard(3, code);
        stream.insert(stream.end(), good.begin(), good.end());
    }
    const Bytes other = Heard(9, kCmdCells);  // another module's command
    stream.insert(stream.end(), other.begin(), other.end());

    std::size_t replies = 0;
    for (std::uint8_t byte : stream) replies += sim.Receive(&byte, 1).size();  // one byte at a time
    EXPECT_EQ(replies, 2u);
    EXPECT_EQ(sim.ignored_commands(), 1u);
    EXPECT_EQ(sim.Stats(3).commands.at(kCmdCells), 1u);
    EXPECT_EQ(sim.Stats(3).commands.at(kCmdTemperature), 1u);
    EXPECT_EQ(sim.Stats(3).commands.count(kCmdCurrent), 0u);
}

struct FaultShape {
    const char* name;
    FaultKind kind;
    std::uint8_t command;
};

void PrintTo(const FaultShape& c, std::ostream* os) { *os << c.name; }

class ModuleFaults : public ::testing::TestWithParam<FaultShape> {};

TEST_P(ModuleFaults, ChangeTheReplyAsDocumented) {
    const FaultShape shape = GetParam();
    ModuleSimulator clean_sim, faulty_sim;
    ModuleConfig m = Plain(4);
    clean_sim.AddModule(m);
    FaultRule rule;
    rule.kind = shape.kind;
    rule.garbage_bytes = 300;  // plenty of chances to draw a lead byte
    rule.pause = 25ms;
    rule.delay = 70ms;
    m.faults = {rule};
    faulty_sim.AddModule(m);

    const Bytes clean = Concatenated(clean_sim.Answer(4, shape.command));
    const std::vector<Transmission> out = faulty_sim.Answer(4, shape.command);
    const Bytes got = Concatenated(out);
    EXPECT_EQ(faulty_sim.Stats(4).faults.at(shape.kind), 1u);
    ASSERT_TRUE(faulty_sim.Journal().back().fault.has_value());
    EXPECT_EQ(*faulty_sim.Journal().back().fault, shape.kind);

    switch (shape.kind) {
        case FaultKind::kSilence:
            EXPECT_TRUE(out.empty());
            break;
        case FaultKind::kGarbage:
            ASSERT_EQ(got.size(), clean.size() + 300);
            EXPECT_TRUE(std::equal(clean.begin(), clean.end(),
                                   got.end() - static_cast<long>(clean.size())));
            EXPECT_EQ(
                std::count(got.begin(), got.end() - static_cast<long>(clean.size()), kReplyLead),
                0);
            break;
        case FaultKind::kBadChecksum:
            ASSERT_EQ(got.size(), clean.size());
            EXPECT_TRUE(std::equal(clean.begin(), clean.end() - 1, got.begin()));
            EXPECT_NE(got.back(), clean.back());
            break;
        case FaultKind::kWrongAddress:
            ASSERT_EQ(got.size(), clean.size());
            EXPECT_EQ(got[1], 4 ^ 1);
            EXPECT_EQ(got.back(), WireSum(&got[1], got.size() - 2));  // well formed, just not ours
            break;
        case FaultKind::kSplit:
            ASSERT_EQ(out.size(), 2u);
            EXPECT_EQ(got, clean);
            EXPECT_EQ(out[1].delay, 25ms);
            break;
        case FaultKind::kDelay:
            ASSERT_EQ(out.size(), 1u);
            EXPECT_EQ(got, clean);
            EXPECT_EQ(out[0].delay, 70ms);
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ModuleFaults,
    ::testing::Values(FaultShape{"SilenceCells", FaultKind::kSilence, kCmdCells},
                      FaultShape{"GarbageCells", FaultKind::kGarbage, kCmdCells},
                      FaultShape{"GarbageValue", FaultKind::kGarbage, kCmdCurrent},
                      FaultShape{"BadChecksumCells", FaultKind::kBadChecksum, kCmdCells},
                      FaultShape{"BadChecksumValue", FaultKind::kBadChecksum, kCmdGroupVoltage},
                      FaultShape{"WrongAddressCells", FaultKind::kWrongAddress, kCmdCells},
                      FaultShape{"WrongAddressValue", FaultKind::kWrongAddress, kCmdTemperature},
                      FaultShape{"SplitCells", FaultKind::kSplit, kCmdCells},
                      FaultShape{"SplitValue", FaultKind::kSplit, kCmdCurrent},
                      FaultShape{"DelayValue", FaultKind::kDelay, kCmdTemperature}),
    [](const ::testing::TestParamInfo<FaultShape>& info) { return std::string(info.param.name); });

TEST(ModuleSimulator, FaultScheduleCountsOnlyMatchingCommands) {
    ModuleConfig m = Plain(2);
    FaultRule rule;
    rule.kind = FaultKind::kSilence;
    rule.command = kCmdCurrent;
    rule.first = 2;
    rule.every = 3;
    rule.times = 2;
    m.faults = {rule};
    ModuleSimulator sim;
    sim.AddModule(m);
    std::vector<int> silent;  // which current commands went unanswered, 1-based
    for (int n = 1; n <= 10; ++n) {
        EXPECT_EQ(sim.Answer(2, kCmdCells).size(), 1u);  // never counts toward the rule
        if (sim.Answer(2, kCmdCurrent).empty()) silent.push_back(n);
    }
    EXPECT_EQ(silent, (std::vector<int>{2, 5}));
}

TEST(ModuleSimulator, NoiseIsBoundedAndReproducibleFromTheSeed) {
    ModuleConfig m = Plain(1);
    m.cells = CellProfile::Flat(13.50);
    m.cells.noise = 0.03;
    auto readings = [&m](std::uint64_t seed) {
        ModuleSimulator sim(seed);
        sim.AddModule(m);
        std::vector<std::uint16_t> all;
        for (int round = 0; round < 20; ++round) {
            sim.Answer(1, kCmdCells);
            const auto& cells = sim.Journal().back().readings.cells;
            all.insert(all.end(), cells.begin(), cells.end());
        }
        return all;
    };
    const auto a = readings(11);
    EXPECT_EQ(a, readings(11));
    EXPECT_NE(a, readings(12));
    EXPECT_EQ(*std::min_element(a.begin(), a.end()), 1347);  // 400 draws reach both ends
    EXPECT_EQ(*std::max_element(a.begin(), a.end()), 1353);
}

TEST(ModuleSimulator, ProfilesAndScalings) {
    ModuleConfig m;
    m.address = 1;
    m.battery_type = 6;  // millivolt cells
    m.cells = CellProfile::Flat(6.75);
    m.cells.weak_cell = 3;
    m.cells.weak_volts = 5.9;
    m.cells.cells_in_use = 30;
    m.version = 2;
    m.current = -20.0;
    m.current_sensor = true;
    ModuleSimulator sim;
    sim.AddModule(m);
    const Readings nominal = sim.NominalReadings(1);
    EXPECT_EQ(nominal.cells[0], 6750);
    EXPECT_EQ(nominal.cells[2], 5900);
    EXPECT_EQ(nominal.cells[29], 6750);
    EXPECT_EQ(nominal.cells[30], 0);  // not fitted
    // 29 * 6.75 + 5.9 = 201.65 V in 0.01 V steps.
    EXPECT_EQ(nominal.group, 20165);
    // The sensor reads ((code / 10) / 125 - 2) * 50: -20 A is code 2000.
    EXPECT_EQ(nominal.current, 2000);
    EXPECT_FLOAT_EQ(battery_protocol::SensorCurrent(2000), -20.0f);
}

// Changes hold from their start up to (not at) their end, the later over the
// earlier, over a weak cell of the module's own, and start over with repeat.
TEST(ModuleSimulator, ReadingChangesHoldForTheirTimeAndRepeat) {
    ModuleConfig m = Plain(1);
    m.cells = CellProfile::Flat(13.5);
    m.cells.weak_cell = 7;
    m.cells.weak_volts = 12.1;
    ReadingChange sag;
    sag.from = 2s;
    sag.to = 5s;
    sag.cell = 3;
    sag.cell_volts = 11.8;
    ReadingChange deeper = sag;
    deeper.from = 4s;
    deeper.cell_volts = 10.5;
    deeper.temperature = 48.5;
    ReadingChange silent;
    silent.from = 6s;
    silent.to = 7s;
    silent.silent = true;
    m.changes = {sag, deeper, silent};
    m.repeat = 10s;
    ModuleSimulator sim;
    sim.AddModule(m);
    const struct {
        std::chrono::milliseconds at;
        std::uint16_t cell3, temperature;
        bool answers;
    } rows[] = {{1999ms, 1350, 2530, true}, {2s, 1180, 2530, true},  {4s, 1050, 4850, true},
                {5s, 1350, 2530, true},     {6s, 1350, 2530, false}, {7s, 1350, 2530, true},
                {12500ms, 1180, 2530, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.at.count());
        sim.SetElapsed(row.at);
        EXPECT_EQ(!sim.Answer(1, kCmdTemperature).empty(), row.answers);
        if (!row.answers) continue;
        const Readings r = sim.NominalReadings(1);
        EXPECT_EQ(r.cells[2], row.cell3);
        EXPECT_EQ(r.cells[6], 1210);  // the module's own weak cell stays
        EXPECT_EQ(r.temperature, row.temperature);
    }
}

TEST(ModuleSimulator, RefusesATakenAddress) {
    ModuleSimulator sim;
    sim.AddModule(Plain(1));
    EXPECT_THROW(sim.AddModule(Plain(1)), std::invalid_argument);
    EXPECT_THROW(sim.Module(2), std::out_of_range);
}

}  // namespace
}  // namespace module
