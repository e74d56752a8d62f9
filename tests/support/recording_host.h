#pragma once
// A stand-in host that records every host service a device calls, in order,
// and answers the report checks as scripted.

#include <cstdint>
#include <string>
#include <vector>

#include "host/stand_in/host_events.h"

namespace test_support {

struct HostCall {
    enum Kind {
        kSendData,
        kRefreshStatus,
        kReset,
        kSendSP,
        kSaveHistory,
        kCheckThreshold,
        kCheckAOReport,
        kBatchCheck
    };
    Kind kind = kSendData;
    std::vector<std::uint8_t> bytes;  // frame, published or saved image
    int type_id = 0;
    std::string name;
    std::string display_name;
    float value = 0.0f;
    int index = 0;
    std::size_t rule_count = 0;
    bool immediate = false;
};

class RecordingHost : public stand_in::InstalledHostEvents {
public:
    void SendData(ZorSPDevice&, const unsigned char*, unsigned int) override;
    void RefreshStatus(ZorSPDevice&) override;
    void Reset(ZorVDevice&) override;
    void SendSP(ZorVDevice&, int, const unsigned char*, unsigned int, bool) override;
    void SaveDeviceHistory(ZorVDevice&, const unsigned char*, unsigned int) override;
    void CheckThreshold(ZorVDevice&, const std::string&, const std::string&, float, int) override;
    bool CheckAOReport(ZorVDevice&, const std::string&, float) override;
    bool DoBatchCheckThreshold(ZorVDevice&, const std::vector<rule_value>&) override;

    std::vector<HostCall> Calls(HostCall::Kind kind) const;
    std::vector<HostCall::Kind> Kinds() const;
    // The frames sent, as bytes.
    std::vector<std::vector<std::uint8_t>> SentFrames() const;
    void Clear() { calls.clear(); }

    std::vector<HostCall> calls;
    bool ao_report_result = false;
    // When set, CheckAOReport removes the reported name from the device's AO values,
    // as a host that reloads its AO list from inside the call may.
    bool ao_report_drops_value = false;
    bool batch_check_result = false;
};

}  // namespace test_support
