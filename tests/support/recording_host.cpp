#include "tests/support/recording_host.h"

#include "host/zor_vdevice.h"

namespace test_support {
namespace {
HostCall Make(HostCall::Kind kind, const unsigned char* data = nullptr, unsigned int length = 0) {
    HostCall call;
    call.kind = kind;
    if (data != nullptr) call.bytes.assign(data, data + length);
    return call;
}
}  // namespace

void RecordingHost::SendData(ZorSPDevice&, const unsigned char* data, unsigned int length) {
    calls.push_back(Make(HostCall::kSendData, data, length));
}
void RecordingHost::RefreshStatus(ZorSPDevice&) { calls.push_back(Make(HostCall::kRefreshStatus)); }
void RecordingHost::Reset(ZorVDevice&) { calls.push_back(Make(HostCall::kReset)); }
void RecordingHost::SendSP(ZorVDevice&, int type_id, const unsigned char* data, unsigned int length,
                           bool immediate) {
    HostCall call = Make(HostCall::kSendSP, data, length);
    call.type_id = type_id;
    call.immediate = immediate;
    calls.push_back(call);
}
void RecordingHost::SaveDeviceHistory(ZorVDevice&, const unsigned char* data, unsigned int length) {
    calls.push_back(Make(HostCall::kSaveHistory, data, length));
}
void RecordingHost::CheckThreshold(ZorVDevice&, const std::string& name,
                                   const std::string& display_name, float value, int index) {
    HostCall call = Make(HostCall::kCheckThreshold);
    call.name = name;
    call.display_name = display_name;
    call.value = value;
    call.index = index;
    calls.push_back(call);
}
bool RecordingHost::CheckAOReport(ZorVDevice& device, const std::string& name, float value) {
    HostCall call = Make(HostCall::kCheckAOReport);
    call.name = name;
    call.value = value;
    calls.push_back(call);
    if (ao_report_drops_value) device.ao_values_.erase(name);
    return ao_report_result;
}
bool RecordingHost::DoBatchCheckThreshold(ZorVDevice&, const std::vector<rule_value>& values) {
    HostCall call = Make(HostCall::kBatchCheck);
    call.rule_count = values.size();
    calls.push_back(call);
    return batch_check_result;
}

std::vector<HostCall> RecordingHost::Calls(HostCall::Kind kind) const {
    std::vector<HostCall> out;
    for (const auto& c : calls)
        if (c.kind == kind) out.push_back(c);
    return out;
}

std::vector<HostCall::Kind> RecordingHost::Kinds() const {
    std::vector<HostCall::Kind> out;
    for (const auto& c : calls) out.push_back(c.kind);
    return out;
}

std::vector<std::vector<std::uint8_t>> RecordingHost::SentFrames() const {
    std::vector<std::vector<std::uint8_t>> out;
    for (const auto& c : Calls(HostCall::kSendData)) out.push_back(c.bytes);
    return out;
}

}  // namespace test_support
