// The polling round driven through RefreshStatus and process alone.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "battery32/battery32.h"
#include "host/zor_controller.h"
#include "tests/support/cout_capture.h"
#include "tests/support/device_driver.h"
#include "tests/support/recording_host.h"

namespace {

using module::Bytes;
using module::CellReplyFrame;
using module::FlatCellReplyFrame;
using module::ValueReplyFrame;
using test_support::HostCall;

constexpr std::uint8_t kHostAddr = 0x01;
constexpr std::uint8_t kWire = 0x81;

Bytes Frame(std::uint8_t code) { return module::CommandFrame(kWire, code); }

class Polling : public testing::Test {
protected:
    void SetUp() override { device = test_support::MakeDevice(21, kHostAddr); }

    int Feed(const Bytes& bytes) { return test_support::Feed(*device, bytes); }
    int FeedRange(const Bytes& bytes, std::size_t from, std::size_t to) {
        return Feed(Bytes(bytes.begin() + from, bytes.begin() + to));
    }
    std::size_t Rounds() const { return host.Calls(HostCall::kSaveHistory).size(); }

    test_support::CoutCapture cout_capture;
    test_support::RecordingHost host;
    std::unique_ptr<Battery32> device;
};

TEST_F(Polling, FirstTickSendsTheCellVoltageCommand) {
    EXPECT_EQ(device->RefreshStatus(), 1);
    EXPECT_EQ(host.Kinds(),
              (std::vector<HostCall::Kind>{HostCall::kRefreshStatus, HostCall::kSendData}));
    EXPECT_EQ(host.SentFrames().back(), Frame(0xA1));
    EXPECT_EQ(device->pending_cmd_, 1);
}

TEST_F(Polling, AGoodRoundSendsEachCommandInTurnAndClosesOnce) {
    const auto readings = test_support::TypicalReadings();
    device->RefreshStatus();
    EXPECT_EQ(Feed(CellReplyFrame(kWire, readings.cells)), 1);
    EXPECT_EQ(device->pending_cmd_, 2);
    EXPECT_EQ(Feed(ValueReplyFrame(kWire, readings.group)), 1);
    EXPECT_EQ(device->pending_cmd_, 3);
    EXPECT_EQ(Feed(ValueReplyFrame(kWire, readings.current)), 1);
    EXPECT_EQ(device->pending_cmd_, 4);
    EXPECT_FALSE(device->data_ready_);
    EXPECT_EQ(Feed(ValueReplyFrame(kWire, readings.temperature)), 0);
    EXPECT_EQ(device->pending_cmd_, 0);
    EXPECT_EQ(device->msg_len, 0);  // bytes after the round start a new reply
    EXPECT_TRUE(device->data_ready_);
    EXPECT_EQ(Rounds(), 1u);
    EXPECT_EQ(host.SentFrames(),
              (std::vector<Bytes>{Frame(0xA1), Frame(0xA2), Frame(0xA3), Frame(0xA4)}));
    EXPECT_FLOAT_EQ(device->cell_voltages_[0], 12.0f);
    EXPECT_FLOAT_EQ(device->cell_voltages_[31], 12.31f);
    EXPECT_FLOAT_EQ(device->group_voltage_, 389.0f);
    EXPECT_FLOAT_EQ(device->group_current_, 12.5f);
    EXPECT_FLOAT_EQ(device->temperature_, 25.5f);

    // The next tick starts a new round with a fresh resend budget.
    device->RefreshStatus();
    EXPECT_EQ(host.SentFrames().back(), Frame(0xA1));
    EXPECT_EQ(device->retry_count_, 0);
}

TEST_F(Polling, CellReplySplitInTwo) {
    const Bytes reply = FlatCellReplyFrame(kWire, 1250);
    for (std::size_t first : {40u, 1u, 66u}) {  // 1: only the lead byte is held
        SCOPED_TRACE(first);
        device = test_support::MakeDevice(21, kHostAddr);
        device->RefreshStatus();
        EXPECT_EQ(FeedRange(reply, 0, first), 1);
        EXPECT_EQ(device->msg_len, static_cast<int>(first));
        EXPECT_EQ(FeedRange(reply, first, 67), 1);
        EXPECT_EQ(device->pending_cmd_, 2);
        EXPECT_EQ(host.SentFrames().back(), Frame(0xA2));
        EXPECT_FLOAT_EQ(device->cell_voltages_[17], 12.5f);
    }
}

// Bytes placed so that they end right at an inaccessible page: reading one byte
// past them faults.
class GuardedChunk {
public:
    explicit GuardedChunk(const Bytes& bytes)
        : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
        map_ = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (map_ == MAP_FAILED || mprotect(static_cast<char*>(map_) + page_, page_, PROT_NONE) != 0)
            throw std::runtime_error("cannot set up a guard page");
        data_ = static_cast<unsigned char*>(map_) + page_ - bytes.size();
        std::memcpy(data_, bytes.data(), bytes.size());
        size_ = static_cast<unsigned int>(bytes.size());
    }
    ~GuardedChunk() { munmap(map_, 2 * page_); }
    GuardedChunk(const GuardedChunk&) = delete;
    GuardedChunk& operator=(const GuardedChunk&) = delete;
    int FeedTo(Battery32& device) { return device.process(data_, size_); }

private:
    std::size_t page_;
    void* map_ = nullptr;
    unsigned char* data_ = nullptr;
    unsigned int size_ = 0;
};

TEST_F(Polling, NeverReadsPastTheChunkItIsGiven) {
    const Bytes reply = FlatCellReplyFrame(kWire, 1250);
    Bytes first{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66};  // noise before the lead byte
    first.insert(first.end(), reply.begin(), reply.begin() + 30);
    GuardedChunk first_chunk(first);
    GuardedChunk second_chunk(Bytes(reply.begin() + 30, reply.end()));
    device->RefreshStatus();
    EXPECT_EQ(first_chunk.FeedTo(*device), 1);
    EXPECT_EQ(device->msg_len, 30);
    EXPECT_EQ(second_chunk.FeedTo(*device), 1);
    EXPECT_EQ(device->pending_cmd_, 2);
}

TEST_F(Polling, ChunkThatWouldPass80BytesIsDroppedWithTheBuffer) {
    // A cell reply padded with trailing bytes, in one or two chunks: up to 80 bytes
    // held are taken, 81 drop the reply.
    struct Case {
        std::size_t first, total;
        bool accepted;
    };
    const Case cases[] = {{40, 80, true}, {40, 81, false}, {80, 80, true}, {81, 81, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.first) + " of " + std::to_string(c.total));
        device = test_support::MakeDevice(21, kHostAddr);
        Bytes padded = FlatCellReplyFrame(kWire, 1250);
        padded.resize(c.total, 0x00);
        device->RefreshStatus();
        const std::size_t last_from = c.first < c.total ? c.first : 0;
        if (last_from > 0) {
            EXPECT_EQ(FeedRange(padded, 0, last_from), 1);
        }
        EXPECT_EQ(FeedRange(padded, last_from, c.total), c.accepted ? 1 : 0);
        EXPECT_EQ(device->pending_cmd_, c.accepted ? 2 : 0);
        EXPECT_EQ(device->msg_len, 0);
        EXPECT_FLOAT_EQ(device->cell_voltages_[0], c.accepted ? 12.5f : 0.0f);
    }
}

TEST_F(Polling, HugeLengthsCannotWrapTheSizeTest) {
    device->RefreshStatus();
    Bytes head(10, 0xED);
    EXPECT_EQ(Feed(head), 1);
    unsigned char byte = 0xED;
    // Lengths whose sum with the held bytes wraps an unsigned int must be refused
    // without touching the data at all.
    for (unsigned int length : {0xFFFFFFFFu, 0xFFFFFFF6u, 0x80000000u, 81u}) {
        device->msg_len = 10;
        device->pending_cmd_ = 1;
        EXPECT_EQ(device->process(&byte, length), 0);
        EXPECT_EQ(device->msg_len, 0);
        EXPECT_EQ(device->pending_cmd_, 0);
    }
}

TEST_F(Polling, NullChunkIsSizeTestedThenStoresNothing) {
    device->RefreshStatus();
    EXPECT_EQ(device->process(nullptr, 100), 0);  // over the limit: the exchange ends
    EXPECT_EQ(device->pending_cmd_, 0);
    EXPECT_EQ(device->msg_len, 0);

    const Bytes reply = FlatCellReplyFrame(kWire, 1250);
    device->RefreshStatus();
    EXPECT_EQ(device->process(nullptr, 67), 1);  // within it: still waiting for the cells
    EXPECT_EQ(device->msg_len, 0);
    EXPECT_EQ(device->pending_cmd_, 1);
    EXPECT_EQ(device->process(nullptr, 0), 1);
    // With bytes held, the held count and the null chunk's length are tested together.
    EXPECT_EQ(FeedRange(reply, 0, 10), 1);
    EXPECT_EQ(device->process(nullptr, 71), 0);
    EXPECT_EQ(device->pending_cmd_, 0);
    EXPECT_EQ(device->msg_len, 0);

    device->RefreshStatus();
    EXPECT_EQ(FeedRange(reply, 0, 10), 1);
    EXPECT_EQ(device->process(nullptr, 5), 1);  // with bytes held: still nothing read
    EXPECT_EQ(device->msg_len, 10);
    EXPECT_EQ(FeedRange(reply, 10, 67), 1);
    EXPECT_EQ(device->pending_cmd_, 2);
}

TEST_F(Polling, LeadingGarbageInTheFirstChunkIsSkipped) {
    const Bytes reply = FlatCellReplyFrame(kWire, 1250);
    device->RefreshStatus();
    Bytes first{0x00, 0x00};
    first.insert(first.end(), reply.begin(), reply.begin() + 30);
    EXPECT_EQ(Feed(first), 1);
    EXPECT_EQ(device->msg_len, 30);
    EXPECT_EQ(FeedRange(reply, 30, 67), 1);
    EXPECT_EQ(device->pending_cmd_, 2);
}

TEST_F(Polling, FirstChunkWithoutLeadByteIsDropped) {
    device->RefreshStatus();
    EXPECT_EQ(Feed(Bytes{0x01, 0x02, 0x03, 0xEC}), 1);
    EXPECT_EQ(device->msg_len, 0);
    EXPECT_EQ(device->pending_cmd_, 1);
    // The reply that follows is still taken whole.
    EXPECT_EQ(Feed(FlatCellReplyFrame(kWire, 1250)), 1);
    EXPECT_EQ(device->pending_cmd_, 2);
}

TEST_F(Polling, GarbageInALaterChunkIsNotSkipped) {
    const Bytes reply = FlatCellReplyFrame(kWire, 1250);
    device->RefreshStatus();
    EXPECT_EQ(FeedRange(reply, 0, 10), 1);
    Bytes rest{0x55};
    rest.insert(rest.end(), reply.begin() + 10, reply.end());
    cout_capture.Take();
    EXPECT_EQ(Feed(rest), 0);  // 68 bytes, checksum now wrong
    const std::string out = cout_capture.Take();
    EXPECT_EQ(out, "Battery32 21 checksum failed\n");
    EXPECT_EQ(device->pending_cmd_, 0);
}

TEST_F(Polling, BadCellRepliesWriteTheirLineAndAbandonTheRound) {
    struct Case {
        std::uint8_t addr;
        int corrupt_at;
        const char* line;
    };
    const Case cases[] = {
        {0x82, -1, "msg_buf[0] == 0xed && msg_buf[1] == addr_ failed\n"},
        {kWire, 66, "Battery32 21 checksum failed\n"},
        {kWire, 20, "Battery32 21 checksum failed\n"},
    };
    for (const auto& c : cases) {
        device->RefreshStatus();
        Bytes reply = FlatCellReplyFrame(c.addr, 1250);
        if (c.corrupt_at >= 0) reply[c.corrupt_at] ^= 0x40;
        cout_capture.Take();
        EXPECT_EQ(Feed(reply), 0);
        EXPECT_EQ(cout_capture.Take(), c.line);
        EXPECT_EQ(device->pending_cmd_, 0);
        EXPECT_EQ(device->msg_len, 0);
        EXPECT_FLOAT_EQ(device->cell_voltages_[0], 0.0f);
    }
}

TEST_F(Polling, GoodCellReplyWritesItsTwoLinesAroundTheSend) {
    device->RefreshStatus();
    cout_capture.Take();
    Feed(FlatCellReplyFrame(kWire, 1250));
    EXPECT_EQ(cout_capture.Take(),
              "Battery32 21 before CallGroupVoltage\nBattery32 21 after CallGroupVoltage\n");
}

TEST_F(Polling, ValueReplySplit3Plus2AbandonsTheRound) {
    device->RefreshStatus();
    Feed(FlatCellReplyFrame(kWire, 1250));
    const Bytes reply = ValueReplyFrame(kWire, 3890);
    EXPECT_EQ(FeedRange(reply, 0, 3), 0);
    EXPECT_EQ(device->pending_cmd_, 0);
    EXPECT_EQ(FeedRange(reply, 3, 5), 0);
    EXPECT_EQ(device->group_voltage_, 0.0f);
    // The next tick starts over from the cell voltages.
    device->RefreshStatus();
    EXPECT_EQ(host.SentFrames().back(), Frame(0xA1));
    EXPECT_EQ(device->msg_len, 0);
}

TEST_F(Polling, BadValueRepliesAreSilentAndChangeNothing) {
    const auto readings = test_support::TypicalReadings();
    test_support::RunGoodRound(*device, readings);
    Bytes wrong_addr = ValueReplyFrame(0x82, 1000);
    Bytes bad_checksum = ValueReplyFrame(kWire, 1000);
    bad_checksum[4] ^= 1;
    Bytes checksum_fe = ValueReplyFrame(kWire, 1000);
    checksum_fe[4] = 0xFE;
    Bytes noise_then_reply{0x12, 0xED, 0x00};  // synchronised on the first 0xED: bad address
    const Bytes tail = ValueReplyFrame(kWire, 1000);
    noise_then_reply.insert(noise_then_reply.end(), tail.begin(), tail.end());
    for (const Bytes& bad : {wrong_addr, bad_checksum, checksum_fe, noise_then_reply}) {
        for (int stage = 2; stage <= 4; ++stage) {
            device->RefreshStatus();
            Feed(CellReplyFrame(kWire, readings.cells));
            if (stage > 2) Feed(ValueReplyFrame(kWire, readings.group));
            if (stage > 3) Feed(ValueReplyFrame(kWire, readings.current));
            cout_capture.Take();
            EXPECT_EQ(Feed(bad), 0);
            EXPECT_EQ(cout_capture.Take(), "");
            EXPECT_EQ(device->pending_cmd_, 0);
            EXPECT_EQ(device->msg_len, 0);
            EXPECT_FLOAT_EQ(device->group_voltage_, 389.0f);
            EXPECT_FLOAT_EQ(device->group_current_, 12.5f);
            EXPECT_FLOAT_EQ(device->temperature_, 25.5f);
        }
    }
    EXPECT_EQ(Rounds(), 1u);
}

TEST_F(Polling, AModuleThatNeverAnswers) {
    for (int tick = 1; tick <= 4; ++tick) EXPECT_EQ(device->RefreshStatus(), 1);
    EXPECT_EQ(host.Calls(HostCall::kRefreshStatus).size(), 1u);
    EXPECT_EQ(host.SentFrames(), std::vector<Bytes>(4, Frame(0xA1)));
    device->RefreshStatus();  // fifth tick: a new round
    EXPECT_EQ(host.Calls(HostCall::kRefreshStatus).size(), 2u);
    EXPECT_EQ(host.SentFrames().size(), 5u);
    EXPECT_EQ(host.SentFrames().back(), Frame(0xA1));
    EXPECT_EQ(device->retry_count_, 0);
}

TEST_F(Polling, ATickResendsWhateverCommandIsUnanswered) {
    const auto readings = test_support::TypicalReadings();
    const std::uint8_t codes[] = {0xA1, 0xA2, 0xA3, 0xA4};
    for (int pending = 1; pending <= 4; ++pending) {
        SCOPED_TRACE(pending);
        device = test_support::MakeDevice(21, kHostAddr);
        device->RefreshStatus();
        if (pending > 1) Feed(CellReplyFrame(kWire, readings.cells));
        if (pending > 2) Feed(ValueReplyFrame(kWire, readings.group));
        if (pending > 3) Feed(ValueReplyFrame(kWire, readings.current));
        host.Clear();
        EXPECT_EQ(device->RefreshStatus(), 1);
        EXPECT_EQ(host.SentFrames(), std::vector<Bytes>{Frame(codes[pending - 1])});
        EXPECT_TRUE(host.Calls(HostCall::kRefreshStatus).empty());
        EXPECT_EQ(device->pending_cmd_, pending);
        EXPECT_EQ(device->retry_count_, 1);
    }
}

TEST_F(Polling, ResendBudgetIsSharedAcrossTheRound) {
    const auto readings = test_support::TypicalReadings();
    device->RefreshStatus();
    device->RefreshStatus();  // one resend of A1
    Feed(CellReplyFrame(kWire, readings.cells));
    Feed(ValueReplyFrame(kWire, readings.group));
    device->RefreshStatus();  // two resends of A3
    device->RefreshStatus();
    EXPECT_EQ(host.SentFrames().back(), Frame(0xA3));
    EXPECT_EQ(host.Calls(HostCall::kRefreshStatus).size(), 1u);
    device->RefreshStatus();  // budget spent: restart
    EXPECT_EQ(host.Calls(HostCall::kRefreshStatus).size(), 2u);
    EXPECT_EQ(host.SentFrames().back(), Frame(0xA1));
    EXPECT_EQ(device->pending_cmd_, 1);
}

TEST_F(Polling, BytesWhileIdleAreHeldUntilTheNextCommand) {
    EXPECT_EQ(Feed(ValueReplyFrame(kWire, 1)), 0);
    EXPECT_EQ(device->msg_len, 5);
    device->RefreshStatus();
    EXPECT_EQ(device->msg_len, 0);
}

TEST_F(Polling, UnknownPendingCommandIsCleared) {
    device->pending_cmd_ = 9;
    EXPECT_EQ(Feed(Bytes{0xED}), 0);
    EXPECT_EQ(device->pending_cmd_, 0);
    device->pending_cmd_ = 9;
    device->RefreshStatus();  // not a command: a new round starts
    EXPECT_EQ(host.SentFrames().back(), Frame(0xA1));
}

TEST_F(Polling, TemperatureOutsideItsWindowStillClosesTheRound) {
    auto readings = test_support::TypicalReadings();
    test_support::RunGoodRound(*device, readings);
    readings.temperature = 10001;
    EXPECT_EQ(test_support::RunGoodRound(*device, readings), 0);
    EXPECT_EQ(Rounds(), 2u);
    EXPECT_FLOAT_EQ(device->temperature_, 25.5f);
}

TEST_F(Polling, SettingsShapeTheDecodedRound) {
    {
        test_support::CoutCapture quiet;
        device = test_support::MakeDevice(
            21, kHostAddr,
            test_support::ParseJson(R"({"appSetting": {"version": 2, "dir": 1, "t0": 0.5,
                                    "t31": -0.25, "group_a": 2, "group_b": 1}})"));
    }
    std::array<std::uint16_t, 32> cells;
    for (std::size_t p = 0; p < cells.size(); ++p) cells[p] = static_cast<std::uint16_t>(1000 + p);
    device->RefreshStatus();
    Feed(CellReplyFrame(kWire, cells));
    EXPECT_FLOAT_EQ(device->cell_voltages_[31], 10.5f);   // wire position 0, with t0
    EXPECT_FLOAT_EQ(device->cell_voltages_[0], 10.06f);   // wire position 31, with t31
    EXPECT_FLOAT_EQ(device->cell_voltages_[15], 10.16f);  // wire position 16
    Feed(ValueReplyFrame(kWire, 5350));
    EXPECT_FLOAT_EQ(device->group_voltage_, 53.5f * 2.0f + 1.0f);
}

TEST_F(Polling, ProcessStampsActivityEvenForRejectedBytes) {
    device->last_active_time_ = boost::posix_time::ptime(boost::gregorian::date(2000, 1, 1));
    Feed(Bytes(90, 0x00));
    EXPECT_GT(device->last_active_time_.date().year(), 2000);
}

// A partner that counts how often its values are asked for.
class CountingPartner : public Battery32 {
public:
    explicit CountingPartner(int& lookups) : lookups_(lookups) {}
    float Get_Value(unsigned int source, const std::string& name) const override {
        ++lookups_;
        return Battery32::Get_Value(source, name);
    }

private:
    int& lookups_;
};

class PartnerDevices : public testing::Test {
protected:
    void SetUp() override {
        controller = std::make_shared<ZorController>();
        for (std::uint32_t id : {101u, 102u, 103u}) {
            auto partner = std::make_shared<CountingPartner>(lookups_of_partner[id - 101]);
            partner->data_id_ = id;
            partner->Init(controller, id, Json::Value());
            partners.push_back(partner);
            controller->AddDevice(partner);
        }
        std::uint8_t cache[152] = {};
        for (std::size_t i = 0; i < partners.size(); ++i) {
            const float group = 100.0f * static_cast<float>(i + 1);
            std::memcpy(cache + offsetof(Battery32_Data_t, group_voltage), &group, 4);
            partners[i]->LoadFromCache(cache, 152);
        }
    }

    std::unique_ptr<Battery32> Main(const std::string& app) {
        auto device = std::make_unique<Battery32>();
        device->data_id_ = 100;
        device->addr_ = kHostAddr;
        device->Init(controller, 100, Json::Value());
        device->InitSetting(test_support::ParseJson(R"({"appSetting": {)" + app + "}}"));
        return device;
    }

    test_support::CoutCapture cout_capture;
    test_support::RecordingHost host;
    std::shared_ptr<ZorController> controller;
    std::vector<std::shared_ptr<Battery32>> partners;
    int lookups_of_partner[3] = {0, 0, 0};
};

TEST_F(PartnerDevices, GroupVoltagesOfPartnersAreAdded) {
    auto device = Main(R"("group_voltage": [101, 102, 103])");
    test_support::RunGoodRound(*device, test_support::TypicalReadings());
    EXPECT_FLOAT_EQ(device->group_voltage_, 389.0f + 100.0f + 200.0f + 300.0f);
    EXPECT_TRUE(device->group_voltage_valid_);
}

TEST_F(PartnerDevices, OneUnavailablePartnerZeroesTheGroupVoltage) {
    partners[1]->data_ready_ = false;  // refuses: not ready
    auto device = Main(R"("group_voltage": [101, 102, 103])");
    auto readings = test_support::TypicalReadings();
    for (auto& c : readings.cells) c = 0;  // no cell sum to repair it with
    device->RefreshStatus();
    test_support::Feed(*device, module::CellReplyFrame(kWire, readings.cells));
    test_support::Feed(*device, ValueReplyFrame(kWire, readings.group));
    EXPECT_EQ(device->group_voltage_, 0.0f);
    EXPECT_FALSE(device->group_voltage_valid_);
    EXPECT_EQ(device->pending_cmd_, 3);  // the round goes on
    EXPECT_EQ(lookups_of_partner[0], 1);
    EXPECT_EQ(lookups_of_partner[1], 1);
    EXPECT_EQ(lookups_of_partner[2], 0);  // never asked once one partner failed
    test_support::Feed(*device, ValueReplyFrame(kWire, readings.current));
    EXPECT_EQ(test_support::Feed(*device, ValueReplyFrame(kWire, readings.temperature)), 0);
    EXPECT_EQ(host.Calls(HostCall::kSaveHistory).size(), 1u);

    // Once every partner answers again, the next good reply makes it valid again.
    partners[1]->data_ready_ = true;
    test_support::RunGoodRound(*device, test_support::TypicalReadings());
    EXPECT_TRUE(device->group_voltage_valid_);
}

TEST_F(PartnerDevices, UnknownPartnerIdIsUnavailable) {
    auto device = Main(R"("group_voltage": [101, 999])");
    device->RefreshStatus();
    test_support::Feed(*device, module::FlatCellReplyFrame(kWire, 1200));
    test_support::Feed(*device, ValueReplyFrame(kWire, 3890));
    EXPECT_EQ(device->group_voltage_, 0.0f);
    EXPECT_FALSE(device->group_voltage_valid_);
}

TEST_F(PartnerDevices, CurrentRules) {
    struct Case {
        const char* app;
        float expected;
    };
    const Case cases[] = {
        {R"("current_ratio": 1, "r_data_id": 101, "r_current_field": "group_voltage")", 0.0f},
        {R"("current_ratio": -1)", 0.0f},  // any non-zero ratio: the sensor formula
        {R"("r_data_id": 102, "r_current_field": "group_voltage")", 200.0f},
        {R"("r_data_id": 5, "r_current_field": "")", 250.0f},
        {R"("r_current_field": "group_voltage")", 250.0f},  // no source device: the module
        {R"("r_data_id": 999, "r_current_field": "group_voltage")", -1.0f},  // kept
        {R"("r_data_id": 101, "r_current_field": "nonsense")", -1.0f},       // kept
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.app);
        auto device = Main(c.app);
        device->group_current_ = -1.0f;
        device->RefreshStatus();
        test_support::Feed(*device, module::FlatCellReplyFrame(kWire, 1200));
        test_support::Feed(*device, ValueReplyFrame(kWire, 3890));
        EXPECT_EQ(test_support::Feed(*device, ValueReplyFrame(kWire, 2500)), 1);
        EXPECT_FLOAT_EQ(device->group_current_, c.expected);
    }
}

}  // namespace
