#pragma once
// The host's virtual device: the base every host device derives from. Members the
// plug-in reads or writes directly are public; everything else is the host's.

#include <json/value.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/rule_value.h"
#include "host/vdevice_interface.h"

class ZorController;

class ZorVDevice : public VDeviceInterface, public std::enable_shared_from_this<ZorVDevice> {
public:
    struct BAOSetting {
        std::string name;
        float report_delta = 0.0f;
    };
    struct pi_alert_ {
        std::string rule_key;
        int level = 0;
    };

    ZorVDevice();
    ~ZorVDevice() override;

    virtual int Reset();
    virtual bool InitV(ZorVDevice* parent, unsigned int data_id, const Json::Value& settings);
    virtual bool Init(std::weak_ptr<ZorController> controller, unsigned int data_id,
                      const Json::Value& settings);
    virtual int InitSetting(const Json::Value& settings);
    virtual bool IsSupportDevice(const std::string& device_type) const;
    virtual std::shared_ptr<ZorVDevice> GetChildVDevice(unsigned int data_id);
    virtual std::vector<std::shared_ptr<ZorVDevice>> GetAllChildVDevices();
    virtual int SendSP(int type_id, const unsigned char* data, unsigned int length, bool immediate);
    virtual int SendDelayData(int delay_ms);
    virtual int SendDoData(int channel, char value);
    virtual int ReadDi(int channel);
    virtual float ReadAi(int channel);
    virtual float Get_SP_Value(unsigned int data_id, const std::string& name);

    // Not virtual: the host's own rule and history services.
    bool CheckThreshold(const std::string& name, const std::string& display_name,
                        const float& value, int index);
    bool CheckAOReport(const std::string& name, float value);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& values);
    bool SaveDeviceHistory(const unsigned char* data, unsigned int length);

    std::uint16_t device_status_ = 0;
    boost::posix_time::ptime last_active_time_;
    bool data_ready_ = false;
    bool data_changed_ = false;
    std::vector<rule_value> rule_values_;
    std::vector<std::string> ao_names_;
    std::map<std::string, float> ao_values_;
    std::map<std::string, int> level_by_rule_;
    std::map<std::string, float> value_by_rule_;

protected:
    std::weak_ptr<ZorController> controller_;
    ZorVDevice* parent_ = nullptr;
};
