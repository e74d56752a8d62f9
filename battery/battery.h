#pragma once
// A device on a battery monitor module's serial line: the module's link
// settings, the polling round (cell voltages, group voltage, current,
// temperature) and the live readings it produces.
//
// One round, step by step (the host, or battery32-run playing it, makes the
// ticks and hands over the received bytes):
//
//   tick     Battery::RefreshStatus            battery/battery_polling.cpp
//              resends an unanswered command, or starts a round:
//   command  Battery::CallVoltage -> Battery::SendCommand        (same file)
//   bytes    battery_protocol::BuildCommand    battery/protocol.cpp
//              -> ZorSPDevice::SendData (host), pending_cmd_ set
//   reply    Battery::process                  battery/battery_polling.cpp
//              gathers the bytes in msg_buf and hands them on by pending_cmd_:
//   decode   Battery32::ProcessBatteryVoltage  battery32/battery32.cpp
//              (cells: battery_protocol::DecodeCellReply), then CallGroupVoltage;
//            Battery::ProcessValueReply        battery/battery_polling.cpp
//              -> DecodeGroupVoltage, CallCurrent -> DecodeCurrent,
//              CallTemperature -> DecodeTemperature, then RoundDone
//   record   UniDataDevice::RoundDone          battery32/uni_data_device.cpp
//              stamps the time, then Battery32::RunCheckThreshold
//              (battery32/battery32.cpp) copies the readings into data_
//              (Battery32_Data_t, battery32/battery32_data.h)
//   publish  ZorVDevice::SendSP (host), from RoundDone
//   check    Battery32::RunCheckThreshold -> ZorVDevice::CheckThreshold per
//              value; RoundDone -> CheckAOReport, DoBatchCheckThreshold (host)
//   save     ZorVDevice::SaveDeviceHistory (host), from RoundDone
//
// A bad reply, or a split value reply, clears pending_cmd_: the round is
// abandoned and the next tick starts over (a cell reply may come in parts).
// Lookups between rounds: Battery32::Get_Value.

#include <json/value.h>

#include <cstdint>
#include <string>
#include <vector>

#include "battery/numeric_text.h"
#include "host/zor_sp_device.h"

class Battery : public ZorSPDevice {
public:
    static constexpr int kLineSpeed = 19200;
    static constexpr int kDefaultSaveIntervalSeconds = 28800;  // 8 hours
    static constexpr int kIoControlSaveInterval = 100;
    // The longest "active_batteries" or "group_voltage" array that is read; a
    // longer one is ignored whole, with a line saying so.
    static constexpr unsigned kMaxSettingsArrayElements = numeric_text::kMaxSettingsArrayElements;

    Battery();
    ~Battery() override;

    float Get_Value(unsigned int source, const std::string& name) const override;
    int DeviceIoControl(int code, const void* in, int in_length, void* out, int out_length,
                        int& returned) override;
    int InitSetting(const Json::Value& settings) override;
    int RefreshStatus() override;
    int process(unsigned char* data, unsigned int length) override;
    virtual int ProcessBatteryVoltage() = 0;

    static unsigned char GetMMCheckSum(unsigned char* data, int length);

    void CallVoltage();
    void CallGroupVoltage();
    void CallCurrent();
    void CallTemperature();

    int pending_cmd_;
    int version_;
    int dir_;
    int retry_count_;
    float group_voltage_;
    float group_current_;
    float temperature_;
    int battery_type_;
    float group_a_;
    float group_b_;
    float battery_adjust_;
    std::vector<int> active_batteries_;
    std::vector<std::uint32_t> group_voltage_ids_;
    bool group_voltage_valid_;
    int battery_start_;
    int current_ratio_;
    int r_data_id_;
    std::string r_current_field_;
    int save_interval_;
    float t0_;
    float t31_;

protected:
    // Sends one command and records it as pending.
    void SendCommand(std::uint8_t code, int pending);
    // Handles a 5-byte reply to command 2, 3 or 4; returns process's result.
    int ProcessValueReply();
    void DecodeGroupVoltage(std::uint16_t raw);
    void DecodeCurrent(std::uint16_t raw);
    void DecodeTemperature(std::uint16_t raw);
    void ReadLinkSettings(const Json::Value& app);
};
