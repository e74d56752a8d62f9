#pragma once
// A device that owns one data record: it stamps, publishes and saves the record
// once per completed round, reloads it from the host's cache and reads the
// threshold-rule settings.
//
// Record requirements: trivially copyable, begins with the 32-bit data id
// (`data_id`) and ends with the 7-byte host time stamp (`timestamp`).

#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <type_traits>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include "battery/numeric_text.h"
#include "battery/settings_json.h"
#include "host/ttime.h"

template <typename Record, typename Base, int RecordTypeId>
class UniDataDevice : public Base {
    static_assert(std::is_trivially_copyable<Record>::value, "record is a plain byte image");

public:
    static constexpr int kRecordTypeId = RecordTypeId;
    static constexpr unsigned kRecordSize = sizeof(Record);
    static constexpr int kThresholdMode = 3;

    UniDataDevice() : b_mode_(1) { std::memset(&data_, 0, sizeof data_); }
    ~UniDataDevice() override = default;

    bool LoadFromCache(const unsigned char* data, int length) override {
        if (data == nullptr || length != static_cast<int>(kRecordSize)) return false;
        std::memcpy(&data_, data, kRecordSize);
        this->data_ready_ = true;
        RoundDone();
        return true;
    }
    using Base::LoadFromCache;

    void RoundDone() override;
    int InitSetting(const Json::Value& settings) override;

    // The device's own end-of-round work: bring the record up to date and raise
    // its threshold checks.
    virtual void RunCheckThreshold() {}

    Record data_;
    // When the record last received data: the last completed round or accepted
    // cache image. Unlike last_active_time_, commands sent to a module that no
    // longer answers do not move it, so lookups can tell that its values are old.
    boost::posix_time::ptime last_data_time_;
    int b_mode_;
    std::map<std::string, std::string> alarm_code_by_rule_;
    std::map<std::string, std::string> signal_name_by_rule_;

protected:
    const unsigned char* RecordBytes() const {
        return reinterpret_cast<const unsigned char*>(&data_);
    }

private:
    void ReadThresholdRules(const Json::Value& rules);

    std::string ao_name_;
};

template <typename Record, typename Base, int RecordTypeId>
void UniDataDevice<Record, Base, RecordTypeId>::RoundDone() {
    this->data_ready_ = true;
    this->last_active_time_ = boost::posix_time::second_clock::local_time();
    last_data_time_ = this->last_active_time_;
    const ttime stamp = get_ttime(this->last_active_time_);
    std::memcpy(&data_.timestamp, &stamp, sizeof stamp);

    this->Reset();
    this->device_status_ = 1;
    this->data_changed_ = false;

    RunCheckThreshold();

    // Published only now, so that the published image carries this round's
    // readings and is byte for byte the image saved as history below.
    this->ZorVDevice::SendSP(RecordTypeId, RecordBytes(), kRecordSize, false);

    // The host may change its AO lists from inside its calls: index them afresh
    // each time and work on a copy of the name (kept in a member so that its
    // buffer is reused from round to round).
    for (std::size_t i = 0; i < this->ao_names_.size(); ++i) {
        ao_name_.assign(this->ao_names_[i]);
        const std::string& name = ao_name_;
        auto found = this->ao_values_.find(name);
        if (found == this->ao_values_.end()) continue;
        if (this->CheckAOReport(name, found->second)) this->data_changed_ = true;
        found = this->ao_values_.find(name);
        if (found == this->ao_values_.end()) continue;
        this->CheckThreshold(name, "", found->second, 1);
    }

    std::cout << "rvSize is " << static_cast<long long>(this->rule_values_.size()) << std::endl;
    if (this->DoBatchCheckThreshold(this->rule_values_)) this->data_changed_ = true;

    this->SaveDeviceHistory(RecordBytes(), kRecordSize);
    this->rule_values_.clear();
}

template <typename Record, typename Base, int RecordTypeId>
int UniDataDevice<Record, Base, RecordTypeId>::InitSetting(const Json::Value& settings) {
    using settings_json::IsPresent;
    data_.data_id = this->data_id_;

    const Json::Value& app = settings["appSetting"];
    if (IsPresent(app) && app.isObject()) {
        const Json::Value& mode = app["b_mode"];
        if (IsPresent(mode)) {
            b_mode_ = numeric_text::ToInt(mode.asString());
            std::cout << "InitSetting " << static_cast<unsigned long>(data_.data_id)
                      << " b_mode_:" << b_mode_ << std::endl;
        }
    }

    if (b_mode_ == kThresholdMode) {
        std::cout << "here 1" << std::endl;
        const Json::Value& rules = settings["thresholdSetting"];
        if (IsPresent(rules)) {
            std::cout << "here 2" << std::endl;
            ReadThresholdRules(rules);
        }
    }

    return Base::InitSetting(settings);
}

template <typename Record, typename Base, int RecordTypeId>
void UniDataDevice<Record, Base, RecordTypeId>::ReadThresholdRules(const Json::Value& rules) {
    using settings_json::IsPresent;
    // Only an object has named members; anything else holds no rules.
    if (!rules.isObject()) return;
    const unsigned long id = static_cast<unsigned long>(this->data_id_);
    for (auto it = rules.begin(); it != rules.end(); ++it) {
        const std::string key = it.name();
        std::cout << "here " << key << std::endl;
        const Json::Value& rule = *it;
        if (!rule.isObject()) continue;

        const Json::Value& signal_name = rule["SignalName"];
        if (IsPresent(signal_name)) signal_name_by_rule_[key] = signal_name.asString();

        std::string alarm_code;
        for (const char* field : {"NMAlarmID", "ID", "SignalNumber"}) {
            const Json::Value& part = rule[field];
            if (IsPresent(part)) {
                alarm_code += part.asString();
            } else {
                std::cout << id << " " << field << " is missing" << std::endl;
            }
            alarm_code += ';';
        }

        std::cout << "mobile:" << key << ":" << alarm_code
                  << " level:" << this->level_by_rule_[key]
                  << " value:" << this->value_by_rule_[key] << std::endl;
        alarm_code_by_rule_[key] = alarm_code;
    }
}
