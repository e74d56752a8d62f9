#pragma once
// A device that owns one data record: it stamps, publishes and saves the record
// once per completed round, reloads it from the host's cache and reads the
// threshold-rule settings (battery32/threshold_settings.h).
//
// Record requirements: trivially copyable, begins with the 32-bit data id
// (`data_id`) and ends with the 7-byte host time stamp (`timestamp`).
//
// The member bodies are in uni_data_device.cpp, which instantiates the one
// device built from this template (battery32/battery32.h declares it extern).

#include <json/value.h>

#include <boost/date_time/posix_time/ptime.hpp>
#include <map>
#include <string>
#include <type_traits>

template <typename Record, typename Base, int RecordTypeId>
class UniDataDevice : public Base {
    static_assert(std::is_trivially_copyable<Record>::value, "record is a plain byte image");

public:
    UniDataDevice();
    ~UniDataDevice() override;

    bool LoadFromCache(const unsigned char* data, int length) override;
    using Base::LoadFromCache;

    void RoundDone() override;
    int InitSetting(const Json::Value& settings) override;

    // The device's own end-of-round work: bring the record up to date and raise
    // its threshold checks.
    virtual void RunCheckThreshold();

    Record data_;
    // When the record last received data: the last completed round or accepted
    // cache image. Unlike last_active_time_, commands sent to a module that no
    // longer answers do not move it, so lookups can tell that its values are old.
    boost::posix_time::ptime last_data_time_;
    int b_mode_;
    std::map<std::string, std::string> alarm_code_by_rule_;
    std::map<std::string, std::string> signal_name_by_rule_;

private:
    const unsigned char* RecordBytes() const;

    std::string ao_name_;
};
