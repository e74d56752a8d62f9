// The polling round: commands out, replies in, one reply at a time.

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstring>
#include <stdexcept>

#include "battery/battery.h"
#include "battery/protocol.h"

namespace bp = battery_protocol;

namespace {
constexpr int kMaxResendsPerRound = 3;
constexpr int kPendingNone = 0;
constexpr int kPendingCells = 1;
constexpr int kPendingGroupVoltage = 2;
constexpr int kPendingCurrent = 3;
constexpr int kPendingTemperature = 4;
}  // namespace

void Battery::SendCommand(std::uint8_t code, int pending) {
    msg_len = 0;
    const bp::CommandFrame frame = bp::BuildCommand(addr_, code);
    ZorSPDevice::SendData(frame.data(), static_cast<unsigned int>(frame.size()));
    pending_cmd_ = pending;
    last_active_time_ = boost::posix_time::second_clock::local_time();
}

void Battery::CallVoltage() { SendCommand(bp::kCmdCellVoltages, kPendingCells); }
void Battery::CallGroupVoltage() { SendCommand(bp::kCmdGroupVoltage, kPendingGroupVoltage); }
void Battery::CallCurrent() { SendCommand(bp::kCmdCurrent, kPendingCurrent); }
void Battery::CallTemperature() { SendCommand(bp::kCmdTemperature, kPendingTemperature); }

int Battery::RefreshStatus() {
    if (pending_cmd_ != kPendingNone) {
        const int resends_made = retry_count_++;
        if (resends_made < kMaxResendsPerRound) {
            switch (pending_cmd_) {
                case kPendingCells:
                    CallVoltage();
                    return 1;
                case kPendingGroupVoltage:
                    CallGroupVoltage();
                    return 1;
                case kPendingCurrent:
                    CallCurrent();
                    return 1;
                case kPendingTemperature:
                    CallTemperature();
                    return 1;
                default:
                    break;  // not a command: start over below
            }
        }
    }
    retry_count_ = 0;
    ZorSPDevice::RefreshStatus();
    CallVoltage();
    return 1;
}

int Battery::process(unsigned char* data, unsigned int length) {
    last_active_time_ = boost::posix_time::second_clock::local_time();

    // The size test comes first and takes the length as given, also for a null
    // chunk. Compared without forming msg_len + length, which could wrap for a
    // huge length.
    const std::size_t held = msg_len > 0 ? static_cast<std::size_t>(msg_len) : 0;
    if (length > bp::kMaxReplyBytes || held + length > bp::kMaxReplyBytes) {
        pending_cmd_ = kPendingNone;
        msg_len = 0;
        return 0;
    }

    if (data == nullptr || length == 0) {
        // Nothing to store: a null chunk within the limit carries no bytes.
    } else if (held != 0) {
        std::memmove(msg_buf + held, data, length);
        msg_len = static_cast<int>(held + length);
    } else {
        // Synchronise on the reply lead byte; anything before it is line noise.
        const void* lead = std::memchr(data, bp::kReplyLead, length);
        if (lead != nullptr) {
            const auto k = static_cast<std::size_t>(static_cast<const unsigned char*>(lead) - data);
            std::memmove(msg_buf, data + k, length - k);
            msg_len = static_cast<int>(length - k);
        }
    }

    switch (pending_cmd_) {
        case kPendingNone:
            return 0;
        case kPendingCells:
            return ProcessBatteryVoltage();
        case kPendingGroupVoltage:
        case kPendingCurrent:
        case kPendingTemperature:
            return ProcessValueReply();
        default:
            pending_cmd_ = kPendingNone;
            return 0;
    }
}

int Battery::ProcessValueReply() {
    if (msg_len < static_cast<int>(bp::kValueReplyLength)) {
        // A split value reply ends the round; the next tick starts over.
        pending_cmd_ = kPendingNone;
        return 0;
    }
    msg_len = 0;
    if (!bp::IsValidValueReply(msg_buf, bp::kValueReplyLength, addr_)) {
        pending_cmd_ = kPendingNone;
        return 0;
    }
    const std::uint16_t raw = bp::ReadBigEndian16(msg_buf + 2);
    switch (pending_cmd_) {
        case kPendingGroupVoltage:
            DecodeGroupVoltage(raw);
            CallCurrent();
            return 1;
        case kPendingCurrent:
            DecodeCurrent(raw);
            CallTemperature();
            return 1;
        default:
            DecodeTemperature(raw);
            pending_cmd_ = kPendingNone;
            RoundDone();
            data_ready_ = true;
            return 0;
    }
}

void Battery::DecodeGroupVoltage(std::uint16_t raw) {
    group_voltage_ = bp::ScaleGroupVoltage(raw, version_, group_a_, group_b_);
    group_voltage_valid_ = true;
    for (const std::uint32_t partner : group_voltage_ids_) {
        try {
            group_voltage_ += ZorVDevice::Get_SP_Value(partner, "group_voltage");
        } catch (const std::out_of_range&) {
            // Without every partner the string's voltage is unknown.
            group_voltage_ = 0.0f;
            group_voltage_valid_ = false;
            break;
        }
    }
}

void Battery::DecodeCurrent(std::uint16_t raw) {
    if (current_ratio_ != 0) {
        group_current_ = bp::SensorCurrent(raw);
    } else if (r_data_id_ != 0 && !r_current_field_.empty()) {
        try {
            group_current_ =
                ZorVDevice::Get_SP_Value(static_cast<unsigned int>(r_data_id_), r_current_field_);
        } catch (const std::out_of_range&) {
            // The current source is unavailable: keep the last current.
        }
    } else {
        group_current_ = bp::PlainCurrent(raw);
    }
}

void Battery::DecodeTemperature(std::uint16_t raw) {
    const float t = bp::ScaleTemperature(raw);
    if (bp::IsAcceptedTemperature(t)) temperature_ = t;
}
