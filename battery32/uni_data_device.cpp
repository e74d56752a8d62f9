#include "battery32/uni_data_device.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstring>
#include <iostream>

#include "battery32/battery32.h"
#include "battery32/threshold_settings.h"
#include "host/ttime.h"

template <typename Record, typename Base, int RecordTypeId>
UniDataDevice<Record, Base, RecordTypeId>::UniDataDevice() : b_mode_(1) {
    std::memset(&data_, 0, sizeof data_);
}

template <typename Record, typename Base, int RecordTypeId>
UniDataDevice<Record, Base, RecordTypeId>::~UniDataDevice() = default;

template <typename Record, typename Base, int RecordTypeId>
void UniDataDevice<Record, Base, RecordTypeId>::RunCheckThreshold() {}

template <typename Record, typename Base, int RecordTypeId>
const unsigned char* UniDataDevice<Record, Base, RecordTypeId>::RecordBytes() const {
    return reinterpret_cast<const unsigned char*>(&data_);
}

template <typename Record, typename Base, int RecordTypeId>
bool UniDataDevice<Record, Base, RecordTypeId>::LoadFromCache(const unsigned char* data,
                                                              int length) {
    if (data == nullptr || length != static_cast<int>(sizeof(Record))) return false;
    std::memcpy(&data_, data, sizeof(Record));
    this->data_ready_ = true;
    RoundDone();
    return true;
}

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
    this->ZorVDevice::SendSP(RecordTypeId, RecordBytes(), sizeof(Record), false);

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

    // "rvSize is <count>": a fixed line of the device's output that the host's
    // logs and the tests match; not a forgotten debug print.
    std::cout << "rvSize is " << static_cast<long long>(this->rule_values_.size()) << std::endl;
    if (this->DoBatchCheckThreshold(this->rule_values_)) this->data_changed_ = true;

    this->SaveDeviceHistory(RecordBytes(), sizeof(Record));
    this->rule_values_.clear();
}

template <typename Record, typename Base, int RecordTypeId>
int UniDataDevice<Record, Base, RecordTypeId>::InitSetting(const Json::Value& settings) {
    data_.data_id = this->data_id_;
    threshold_settings::Read(settings, *this, {b_mode_, alarm_code_by_rule_, signal_name_by_rule_});
    return Base::InitSetting(settings);
}

// The one device built from the template.
template class UniDataDevice<Battery32_Data_t, Battery, kBattery32RecordTypeId>;
