#include "battery32/battery32.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/lexical_cast.hpp>
#include <cmath>
#include <cstring>
#include <iostream>
#include <stdexcept>

#include "battery/protocol.h"
#include "battery32/cell_name.h"

namespace bp = battery_protocol;

namespace {

constexpr float kGroupVoltageFloor = 40.0f;
constexpr double kGroupVoltageDeadBand = 0.01;
constexpr double kCellVoltageDeadBand = 0.05;
constexpr long long kFreshSeconds = 60;

const std::string kGroupVoltageName = "group_voltage";
const std::string kGroupVoltageLabel = "整组电压";
const std::string kGroupCurrentName = "group_current";
const std::string kGroupCurrentLabel = "电流";
const std::string kTemperatureName = "temperature";
const std::string kTemperatureLabel = "温度";

// Lines of the device's output that the host's logs and the tests match word
// for word (each is written as a line of its own, the last three after
// "Battery32 <id>"). Not forgotten debug prints: keep their texts.
constexpr const char* kBadCellReplyHeaderLine = "msg_buf[0] == 0xed && msg_buf[1] == addr_ failed";
constexpr const char* kBadCellReplyChecksumLine = " checksum failed";
constexpr const char* kBeforeGroupVoltageLine = " before CallGroupVoltage";
constexpr const char* kAfterGroupVoltageLine = " after CallGroupVoltage";

// An unknown time counts as old; a time ahead of now (the clock was set back) as fresh.
bool IsOlderThanFreshness(const boost::posix_time::ptime& when,
                          const boost::posix_time::ptime& now) {
    if (when.is_special()) return true;
    return (now - when).total_seconds() > kFreshSeconds;
}

std::string CellDisplayName(long long number) {
    return "第" + boost::lexical_cast<std::string>(number) + "节电池";
}

}  // namespace

Battery32::Battery32() : cell_count_(kBattery32Cells) {
    device_type_ = "battery_32";
    for (float& v : cell_voltages_) v = 0.0f;
    for (int i = 0; i < kBattery32Cells; ++i) {
        // Copied at its exact size, as shrink_to_fit would, without needing the
        // newer C++ runtime that shrink_to_fit calls into (see the README's floors).
        const std::string name = "battery_" + boost::lexical_cast<std::string>(i) + "_value";
        cell_variable_names_[i] = std::string(name.data(), name.size());
    }
    BuildCellCheckNames();
}

Battery32::~Battery32() = default;

void Battery32::BuildCellCheckNames() {
    display_names_start_ = battery_start_;
    for (int i = 0; i < kBattery32Cells; ++i) {
        // Widened: a configured start near the int limit must not overflow.
        cell_display_names_[i] = CellDisplayName(display_names_start_ + i + 1);
    }
}

float Battery32::Get_Value(unsigned int source, const std::string& name) const {
    if (!data_ready_) throw std::out_of_range("数据未就绪");
    // Stale when the link has been quiet, and also when no data came in for as
    // long even though commands kept going out (a module that stopped answering).
    const auto now = boost::posix_time::second_clock::local_time();
    if (IsOlderThanFreshness(last_active_time_, now) || IsOlderThanFreshness(last_data_time_, now))
        throw std::out_of_range("数据已超时");

    if (const auto index = cell_name::FindCellIndex(name)) {
        if (*index >= 0 && *index < CellsInUse()) return data_.cell_voltage[*index];
    }
    return Battery::Get_Value(source, name);
}

bool Battery32::LoadFromCache(const unsigned char* data, int length) {
    if (data == nullptr || length != static_cast<int>(sizeof(Battery32_Data_t))) return false;
    std::memcpy(&data_, data, sizeof(Battery32_Data_t));
    group_voltage_ = data_.group_voltage;
    group_current_ = data_.group_current;
    temperature_ = data_.temperature;
    data_ready_ = true;
    last_active_time_ = boost::posix_time::second_clock::local_time();
    last_data_time_ = last_active_time_;
    return true;
}

int Battery32::ProcessBatteryVoltage() {
    if (msg_len < static_cast<int>(bp::kCellReplyLength)) return 1;
    msg_len = 0;
    if (!bp::HasCellReplyHeader(msg_buf, bp::kCellReplyLength, addr_)) {
        std::cout << kBadCellReplyHeaderLine << std::endl;
        pending_cmd_ = 0;
        return 0;
    }
    if (!bp::HasValidCellReplyChecksum(msg_buf)) {
        std::cout << "Battery32 " << DataId() << kBadCellReplyChecksumLine << std::endl;
        pending_cmd_ = 0;
        return 0;
    }
    const bp::CellScaling scaling{battery_type_, dir_, battery_adjust_, t0_, t31_};
    bp::DecodeCellReply(msg_buf, scaling, cell_voltages_);

    std::cout << "Battery32 " << DataId() << kBeforeGroupVoltageLine << std::endl;
    CallGroupVoltage();
    std::cout << "Battery32 " << DataId() << kAfterGroupVoltageLine << std::endl;
    return 1;
}

void Battery32::RunCheckThreshold() {
    retry_count_ = 0;

    if (group_voltage_ < kGroupVoltageFloor) {
        float sum = 0.0f;
        for (int i = 0; i < CellsInUse(); ++i) sum += cell_voltages_[i];
        group_voltage_ = sum;
    }

    const float group_moved = std::fabs(data_.group_voltage - group_voltage_);
    if (static_cast<double>(group_moved) >= kGroupVoltageDeadBand) {
        data_changed_ = true;
    } else {
        for (int i = 0; i < CellsInUse(); ++i) {
            const float cell_moved = std::fabs(data_.cell_voltage[i] - cell_voltages_[i]);
            if (static_cast<double>(cell_moved) >= kCellVoltageDeadBand) {
                data_changed_ = true;
                break;
            }
        }
    }

    std::memcpy(data_.cell_voltage, cell_voltages_, sizeof data_.cell_voltage);
    data_.group_voltage = group_voltage_;
    data_.group_current = group_current_;
    data_.temperature = temperature_;
    data_.status = 0;
    data_.data_id = data_id_;

    if (group_voltage_valid_) {
        CheckThreshold(kGroupVoltageName, kGroupVoltageLabel, group_voltage_, 1);
    }
    CheckThreshold(kGroupCurrentName, kGroupCurrentLabel, group_current_, 1);
    CheckThreshold(kTemperatureName, kTemperatureLabel, temperature_, 1);

    if (display_names_start_ != battery_start_) BuildCellCheckNames();
    if (active_batteries_.empty()) {
        for (int i = 0; i < CellsInUse(); ++i) SubmitCellCheck(i);
    } else {
        for (const int i : active_batteries_) {
            if (i >= 0 && i < CellsInUse()) SubmitCellCheck(i);
        }
    }
}

void Battery32::SubmitCellCheck(int index) {
    const float value = data_.cell_voltage[index];
    CheckThreshold(cell_variable_names_[index], cell_display_names_[index], value, index + 1);
}
