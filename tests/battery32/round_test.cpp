// Round completion and the alarm checks, observed through the stand-in host.

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "battery32/battery32.h"
#include "tests/support/cout_capture.h"
#include "tests/support/device_driver.h"
#include "tests/support/recording_host.h"

namespace {

using test_support::HostCall;

constexpr std::uint8_t kHostAddr = 0x03;

using Record = Battery32_Data_t;

float FloatAt(const std::vector<std::uint8_t>& image, std::size_t offset) {
    float v;
    std::memcpy(&v, image.data() + offset, 4);
    return v;
}

class Round : public testing::Test {
protected:
    void SetUp() override { device = test_support::MakeDevice(77, kHostAddr); }

    void Apply(const std::string& app) {
        device->InitSetting(test_support::ParseJson(R"({"appSetting": {)" + app + "}}"));
        device->addr_ = 0x83;  // the second call flipped it back
    }
    // The round-completion calls of the last round, without the serial traffic.
    std::vector<HostCall> RoundCalls() const {
        std::vector<HostCall> out;
        for (const auto& c : host.calls)
            if (c.kind != HostCall::kSendData && c.kind != HostCall::kRefreshStatus)
                out.push_back(c);
        return out;
    }
    std::vector<HostCall> CellChecks() const {
        std::vector<HostCall> out;
        for (const auto& c : host.Calls(HostCall::kCheckThreshold))
            if (c.name.rfind("battery_", 0) == 0) out.push_back(c);
        return out;
    }
    void CompleteRound(const module::Readings& readings) {
        host.Clear();
        ASSERT_EQ(test_support::RunGoodRound(*device, readings), 0);
    }

    test_support::CoutCapture cout_capture;
    test_support::RecordingHost host;
    std::unique_ptr<Battery32> device;
};

TEST_F(Round, CallsReachTheHostInOrder) {
    CompleteRound(test_support::TypicalReadings());
    std::vector<HostCall::Kind> kinds;
    for (const auto& c : RoundCalls()) kinds.push_back(c.kind);
    std::vector<HostCall::Kind> expected = {HostCall::kReset};
    expected.insert(expected.end(), 3 + 32, HostCall::kCheckThreshold);
    expected.insert(expected.end(),
                    {HostCall::kSendSP, HostCall::kBatchCheck, HostCall::kSaveHistory});
    EXPECT_EQ(kinds, expected);
    EXPECT_EQ(device->device_status_, 1);
    EXPECT_TRUE(device->data_ready_);
    EXPECT_TRUE(device->rule_values_.empty());
}

TEST_F(Round, PublishesThisRoundsReadingsAndSavesTheSameImage) {
    auto readings = test_support::TypicalReadings();
    for (int round = 0; round < 3; ++round) {
        readings.cells[5] = static_cast<std::uint16_t>(1300 + round);
        readings.temperature = static_cast<std::uint16_t>(2000 + 100 * round);
        CompleteRound(readings);
        const auto published = host.Calls(HostCall::kSendSP);
        const auto saved = host.Calls(HostCall::kSaveHistory);
        ASSERT_EQ(published.size(), 1u);
        ASSERT_EQ(saved.size(), 1u);
        EXPECT_EQ(published[0].type_id, 5013);
        ASSERT_EQ(published[0].bytes.size(), 152u);
        EXPECT_EQ(published[0].bytes, saved[0].bytes);
        const auto& image = published[0].bytes;
        std::uint32_t id;
        std::memcpy(&id, image.data() + offsetof(Record, data_id), 4);
        EXPECT_EQ(id, 77u);
        EXPECT_FLOAT_EQ(FloatAt(image, offsetof(Record, cell_voltage) + 4 * 5),
                        13.0f + 0.01f * static_cast<float>(round));
        EXPECT_FLOAT_EQ(FloatAt(image, offsetof(Record, group_voltage)), 389.0f);
        EXPECT_FLOAT_EQ(FloatAt(image, offsetof(Record, group_current)), 12.5f);
        EXPECT_EQ(image[offsetof(Record, status)], 0);
        EXPECT_FLOAT_EQ(FloatAt(image, offsetof(Record, temperature)),
                        20.0f + static_cast<float>(round));
        const ttime stamp = get_ttime(device->last_active_time_);
        EXPECT_EQ(std::memcmp(image.data() + offsetof(Record, timestamp), &stamp, 7), 0);
        EXPECT_EQ(device->last_data_time_, device->last_active_time_);
    }
}

TEST_F(Round, PublicationIsNotMarkedImmediate) {
    CompleteRound(test_support::TypicalReadings());
    const auto published = host.Calls(HostCall::kSendSP);
    ASSERT_EQ(published.size(), 1u);
    EXPECT_FALSE(published[0].immediate);
}

TEST_F(Round, ReadingsNeverAcceptedAreZeroInTheRecord) {
    auto readings = test_support::TypicalReadings();
    readings.temperature = 0;  // never inside (0, 100]
    readings.current = 0;
    CompleteRound(readings);
    const auto image = host.Calls(HostCall::kSendSP).at(0).bytes;
    EXPECT_EQ(FloatAt(image, offsetof(Record, temperature)), 0.0f);
    EXPECT_EQ(FloatAt(image, offsetof(Record, group_current)), 0.0f);
    EXPECT_EQ(device->Get_Value(0, "temperature"), 0.0f);
}

TEST_F(Round, StatusByteAndDataIdAreRewrittenEachRound) {
    unsigned char image[152] = {};
    image[offsetof(Record, data_id)] = 0x99;
    image[offsetof(Record, status)] = 0x42;
    ASSERT_TRUE(device->LoadFromCache(image, 152));
    EXPECT_EQ(device->data_.status, 0x42);
    CompleteRound(test_support::TypicalReadings());
    EXPECT_EQ(device->data_.status, 0);
    EXPECT_EQ(device->data_.data_id, 77u);
}

TEST_F(Round, StringChecksCarryNamesLabelsAndIndexOne) {
    CompleteRound(test_support::TypicalReadings());
    const auto checks = host.Calls(HostCall::kCheckThreshold);
    ASSERT_GE(checks.size(), 3u);
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"group_voltage", "整组电压"}, {"group_current", "电流"}, {"temperature", "温度"}};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(checks[i].name, expected[i].first);
        EXPECT_EQ(checks[i].display_name, expected[i].second);
        EXPECT_EQ(checks[i].index, 1);
    }
    EXPECT_FLOAT_EQ(checks[0].value, 389.0f);
    EXPECT_FLOAT_EQ(checks[1].value, 12.5f);
    EXPECT_FLOAT_EQ(checks[2].value, 25.5f);
}

TEST_F(Round, CellChecksFollowTheSelectionAndTheStart) {
    struct Case {
        const char* app;
        std::vector<int> cells;
        int start;
    };
    std::vector<int> all(32);
    for (int i = 0; i < 32; ++i) all[i] = i;
    const Case cases[] = {
        {"", all, 0},
        {R"("group_index": 2, "amount": 0)", all, 17},
        {R"("active_batteries": [-1, 5, 40])", {5}, 0},
        {R"("active_batteries": [32, 0, 31])", {0, 31}, 0},  // the first and last cell
        {R"("active_batteries": [3, 1], "battery_start": 100)", {3, 1}, 100},
        {R"("active_batteries": [3, 1, 3, 9], "battery_start": 2147483647)", {3, 1, 9}, 2147483647},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.app);
        device = test_support::MakeDevice(77, kHostAddr);
        Apply(c.app);
        device->active_batteries_.clear();
        Apply(c.app);
        CompleteRound(test_support::TypicalReadings());
        const auto checks = CellChecks();
        ASSERT_EQ(checks.size(), c.cells.size());
        for (std::size_t k = 0; k < checks.size(); ++k) {
            const int i = c.cells[k];
            EXPECT_EQ(checks[k].name, "battery_" + std::to_string(i) + "_value");
            EXPECT_EQ(checks[k].display_name,
                      "第" + std::to_string(static_cast<long long>(c.start) + i + 1) + "节电池");
            EXPECT_EQ(checks[k].index, i + 1);
            EXPECT_FLOAT_EQ(checks[k].value, 12.0f + 0.01f * static_cast<float>(i));
        }
    }
}

TEST_F(Round, ListedTwiceIsCheckedTwice) {
    device->active_batteries_ = {4, 4};
    CompleteRound(test_support::TypicalReadings());
    const auto checks = CellChecks();
    ASSERT_EQ(checks.size(), 2u);
    EXPECT_EQ(checks[0].name, "battery_4_value");
    EXPECT_EQ(checks[1].name, "battery_4_value");
}

TEST_F(Round, LowGroupVoltageIsRepairedFromTheCells) {
    struct Case {
        std::uint16_t raw;  // tenths of a volt
        bool repaired;
    };
    for (const Case c : {Case{399, true}, Case{400, false}, Case{0, true}}) {
        SCOPED_TRACE(c.raw);
        auto readings = test_support::TypicalReadings();
        readings.cells.fill(3300);  // millivolt cells, see the type below
        readings.group = c.raw;
        device = test_support::MakeDevice(77, kHostAddr);
        device->battery_type_ = 6;
        device->battery_adjust_ = 1.2f;  // 3.3 + 1.2 = 4.5, inside the window
        CompleteRound(readings);
        float sum = 0.0f;
        for (int i = 0; i < 32; ++i) sum += device->cell_voltages_[i];
        const float expected = c.repaired ? sum : static_cast<float>(c.raw) / 10.0f;
        EXPECT_EQ(device->group_voltage_, expected);
        EXPECT_EQ(device->data_.group_voltage, expected);
        EXPECT_EQ(device->Get_Value(0, "group_voltage"), expected);
    }
}

TEST_F(Round, SettingsThatReadAsNotANumber) {
    // A cell that is not a number after its adjustments is outside its window
    // (0.0, like any implausible reading); the group voltage keeps its own rule:
    // not a number stays as measured.
    struct Case {
        const char* app;
        int nan_cell;  // the cell that turns to 0.0; -1: every cell
        bool nan_group;
    };
    const Case cases[] = {
        {R"("battery_adjust": "nan")", -1, false},
        {R"("t0": "nan")", 0, false},
        {R"("t31": "NaN")", 31, false},
        {R"("group_a": "nan")", 32, true},  // 32: no cell
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.app);
        device = test_support::MakeDevice(77, kHostAddr);
        Apply(c.app);
        CompleteRound(test_support::TypicalReadings());
        const auto checks = CellChecks();
        ASSERT_EQ(checks.size(), 32u);
        for (int i = 0; i < 32; ++i) {
            const bool zeroed = c.nan_cell == -1 || c.nan_cell == i;
            EXPECT_EQ(device->data_.cell_voltage[i] == 0.0f, zeroed) << i;
            EXPECT_FALSE(std::isnan(checks[static_cast<std::size_t>(i)].value)) << i;
            EXPECT_FALSE(
                std::isnan(device->Get_Value(0, "battery_" + std::to_string(i) + "_value")));
        }
        EXPECT_EQ(std::isnan(device->data_.group_voltage), c.nan_group);
        EXPECT_EQ(std::isnan(device->Get_Value(0, "group_voltage")), c.nan_group);
    }
}

TEST_F(Round, InvalidGroupVoltageSkipsOnlyItsOwnCheck) {
    device->group_voltage_ids_ = {424242};  // no controller: unavailable
    CompleteRound(test_support::TypicalReadings());
    EXPECT_FALSE(device->group_voltage_valid_);
    const auto checks = host.Calls(HostCall::kCheckThreshold);
    ASSERT_EQ(checks.size(), 2u + 32u);
    EXPECT_EQ(checks[0].name, "group_current");
    EXPECT_EQ(checks[1].name, "temperature");
    float sum = 0.0f;
    for (int i = 0; i < 32; ++i) sum += device->cell_voltages_[i];
    EXPECT_EQ(device->group_voltage_, sum);
}

TEST_F(Round, ChangeDetectionDeadBands) {
    // The record holds the previous round; the live values are this round's.
    struct Case {
        const char* what;
        float record_group, live_group;
        float record_cell, live_cell;
        bool changed;
    };
    const Case cases[] = {
        {"group 100.0 -> 100.01", 100.0f, 100.01f, 12.0f, 12.0f, true},
        {"group 100.0 -> 100.005", 100.0f, 100.005f, 12.0f, 12.0f, false},
        {"cell +0.06", 100.0f, 100.0f, 12.0f, 12.06f, true},
        {"cell -0.06", 100.0f, 100.0f, 12.06f, 12.0f, true},
        {"cell +0.04", 100.0f, 100.0f, 12.0f, 12.04f, false},
        {"nothing moved", 100.0f, 100.0f, 12.0f, 12.0f, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        device = test_support::MakeDevice(77, kHostAddr);
        device->data_.group_voltage = c.record_group;
        for (float& v : device->data_.cell_voltage) v = 12.0f;
        device->data_.cell_voltage[9] = c.record_cell;
        for (float& v : device->cell_voltages_) v = 12.0f;
        device->cell_voltages_[9] = c.live_cell;
        device->group_voltage_ = c.live_group;
        device->data_changed_ = true;  // round completion clears it first
        device->RoundDone();
        EXPECT_EQ(device->data_changed_, c.changed);
    }
}

TEST_F(Round, DeadBandsCompareTheSinglePrecisionDifferenceWidenedToDouble) {
    // 0.01f lies just below 0.01 and 0.05f just above 0.05. Only cell 0 carries a
    // voltage, so the repaired group voltage equals it; the record's group voltage
    // is chosen so that the group test sees exactly the wanted difference.
    struct Case {
        float live_cell0;
        float record_group;
        bool changed;
    };
    const Case cases[] = {
        {0.01f, 0.0f, false},
        {std::nextafter(0.01f, 1.0f), 0.0f, true},
        {0.05f, 0.05f, true},
        {std::nextafter(0.05f, 0.0f), std::nextafter(0.05f, 0.0f), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.live_cell0);
        device = test_support::MakeDevice(77, kHostAddr);
        device->cell_voltages_[0] = c.live_cell0;
        device->data_.group_voltage = c.record_group;
        device->RoundDone();
        EXPECT_TRUE(device->data_ready_);  // a completion the host asks for directly
        EXPECT_EQ(device->group_voltage_, c.live_cell0);
        EXPECT_EQ(device->data_changed_, c.changed);
    }
}

TEST_F(Round, FirstRoundAfterStartUpCountsAsChanged) {
    CompleteRound(test_support::TypicalReadings());
    EXPECT_TRUE(device->data_changed_);
    CompleteRound(test_support::TypicalReadings());
    EXPECT_FALSE(device->data_changed_);
}

TEST_F(Round, AoSignalsReportAndCheckInListOrder) {
    device->ao_names_ = {"ao_b", "missing", "ao_a", "ao_b"};
    device->ao_values_ = {{"ao_a", 1.5f}, {"ao_b", 2.5f}};
    CompleteRound(test_support::TypicalReadings());
    // A report that finds nothing new leaves the readings' own change standing.
    EXPECT_TRUE(device->data_changed_);
    CompleteRound(test_support::TypicalReadings());  // second round: no reading moved
    std::vector<std::string> seen;
    for (const auto& c : RoundCalls()) {
        std::ostringstream line;
        line << c.name << " " << c.value;
        if (c.kind == HostCall::kCheckAOReport) seen.push_back("report " + line.str());
        if (c.kind == HostCall::kCheckThreshold && c.display_name.empty())
            seen.push_back("check " + line.str() + " " + std::to_string(c.index));
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"report ao_b 2.5", "check ao_b 2.5 1",
                                              "report ao_a 1.5", "check ao_a 1.5 1",
                                              "report ao_b 2.5", "check ao_b 2.5 1"}));
    EXPECT_FALSE(device->data_changed_);
    EXPECT_EQ(device->ao_values_.size(), 2u);  // the missing name was not inserted

    host.ao_report_result = true;
    CompleteRound(test_support::TypicalReadings());
    EXPECT_TRUE(device->data_changed_);

    // A value the host drops while reporting it is not checked afterwards.
    host.ao_report_drops_value = true;
    CompleteRound(test_support::TypicalReadings());
    std::size_t ao_checks = 0;
    for (const auto& c : host.Calls(HostCall::kCheckThreshold)) ao_checks += c.display_name.empty();
    EXPECT_EQ(host.Calls(HostCall::kCheckAOReport).size(), 2u);  // ao_b, then ao_a
    EXPECT_EQ(ao_checks, 0u);
    EXPECT_TRUE(device->ao_values_.empty());
}

TEST_F(Round, BatchCheckSeesThePendingRulesAndCanRaiseTheChange) {
    CompleteRound(test_support::TypicalReadings());
    device->rule_values_.resize(3);
    host.batch_check_result = true;
    cout_capture.Take();
    CompleteRound(test_support::TypicalReadings());
    const std::string out = cout_capture.Take();
    EXPECT_NE(out.find("rvSize is 3\n"), std::string::npos) << out;
    const auto batch = host.Calls(HostCall::kBatchCheck);
    ASSERT_EQ(batch.size(), 1u);
    EXPECT_EQ(batch[0].rule_count, 3u);
    EXPECT_TRUE(device->data_changed_);
    EXPECT_TRUE(device->rule_values_.empty());

    host.batch_check_result = false;
    cout_capture.Take();
    CompleteRound(test_support::TypicalReadings());
    EXPECT_NE(cout_capture.Take().find("rvSize is 0\n"), std::string::npos);
    EXPECT_EQ(host.Calls(HostCall::kBatchCheck).size(), 1u);
    EXPECT_FALSE(device->data_changed_);
}

TEST_F(Round, ResendBudgetIsRestoredByACompletedRound) {
    device->RefreshStatus();
    device->RefreshStatus();
    device->RefreshStatus();
    EXPECT_EQ(device->retry_count_, 2);
    CompleteRound(test_support::TypicalReadings());
    EXPECT_EQ(device->retry_count_, 0);
}

}  // namespace
