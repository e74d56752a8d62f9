#include "battery/battery.h"

#include <cstring>
#include <stdexcept>

#include "battery/protocol.h"

Battery::Battery()
    : pending_cmd_(0),
      version_(1),
      dir_(0),
      retry_count_(0),
      group_voltage_(0.0f),
      group_current_(0.0f),
      temperature_(0.0f),
      battery_type_(0),
      group_a_(1.0f),
      group_b_(0.0f),
      battery_adjust_(0.0f),
      group_voltage_valid_(true),
      battery_start_(0),
      current_ratio_(0),
      r_data_id_(0),
      save_interval_(kDefaultSaveIntervalSeconds),
      t0_(0.0f),
      t31_(0.0f) {
    baud_rate_ = kLineSpeed;
}

Battery::~Battery() = default;

unsigned char Battery::GetMMCheckSum(unsigned char* data, int length) {
    return battery_protocol::Checksum(data, length);
}

float Battery::Get_Value(unsigned int, const std::string& name) const {
    if (name == "group_voltage") return group_voltage_;
    if (name == "group_current") return group_current_;
    if (name == "temperature") return temperature_;
    throw std::out_of_range("不支持变量");
}

int Battery::DeviceIoControl(int code, const void* in, int in_length, void*, int, int&) {
    if (code != kIoControlSaveInterval) return 0;
    // The minutes arrive as a 16-bit value in machine byte order; read it byte-safely,
    // and only when the caller really passed two bytes.
    if (in == nullptr || in_length < 2) return 0;
    std::uint16_t minutes = 0;
    std::memcpy(&minutes, in, sizeof minutes);
    save_interval_ = minutes == 0 ? kDefaultSaveIntervalSeconds : static_cast<int>(minutes) * 60;
    return 0;
}
