// Settings: whatever JSON the host hands over, applying it (twice, as a host
// that reloads its configuration does) must not crash, hang or touch memory it
// does not own, and must not stop the device from polling. The JSON library's
// own exceptions for values of the wrong type may pass out of InitSetting;
// nothing else may.
//
// Input: byte 0 picks how the parsed document is placed in the settings
// (as the whole settings object, as "appSetting", or as "thresholdSetting"
// with threshold mode on); the rest is the JSON text.

#include <json/reader.h>
#include <json/value.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include "battery32/battery32.h"
#include "fuzz/fuzz_support.h"
#include "host/stand_in/host_events.h"

namespace {

class CountingHost : public stand_in::InstalledHostEvents {
public:
    void SendSP(ZorVDevice&, int, const unsigned char*, unsigned int length, bool) override {
        FUZZ_CHECK(length == sizeof(Battery32_Data_t));
        ++publications;
    }
    int publications = 0;
};

bool Parse(const std::uint8_t* data, std::size_t size, Json::Value& out) {
    static const std::unique_ptr<Json::CharReader> reader = [] {
        Json::CharReaderBuilder builder;
        builder["collectComments"] = false;
        return std::unique_ptr<Json::CharReader>(builder.newCharReader());
    }();
    const char* begin = reinterpret_cast<const char*>(data);
    std::string errors;
    return reader->parse(begin, begin + size, &out, &errors);
}

void Apply(Battery32& dev, const Json::Value& settings) {
    try {
        dev.InitSetting(settings);
    } catch (const Json::Exception&) {
        // A value of a type the key cannot have: the library refuses the conversion.
    }
}

// One good round with the device as the settings left it. The settings change
// scaling, alarm labels and partner look-ups, never whether a round completes.
void RunRound(Battery32& dev, const CountingHost& host) {
    const int before = host.publications;
    dev.RefreshStatus();
    const std::uint8_t addr = dev.addr_;
    module::Readings readings;
    for (std::size_t i = 0; i < readings.cells.size(); ++i)
        readings.cells[i] = static_cast<std::uint16_t>(1150 + 10 * i);
    readings.group = 5320;
    readings.current = 2875;
    readings.temperature = 2550;
    for (std::uint8_t code : {module::kCmdCells, module::kCmdGroupVoltage, module::kCmdCurrent,
                              module::kCmdTemperature}) {
        fuzz_support::Bytes chunk = module::ReplyFrame(addr, code, readings);
        dev.process(chunk.data(), static_cast<unsigned int>(chunk.size()));
    }
    FUZZ_CHECK(host.publications == before + 1);
    FUZZ_CHECK(dev.pending_cmd_ == 0);
}

void LookUpEverything(const Battery32& dev) {
    std::vector<std::string> names = {"group_voltage", "group_current", "temperature", "x"};
    for (int i = 0; i <= 32; ++i) names.push_back("battery_" + std::to_string(i) + "_value");
    for (const auto& name : names) {
        try {
            (void)dev.Get_Value(0, name);
        } catch (const std::out_of_range&) {
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_support::SilenceStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    Json::Value parsed;
    if (!Parse(data + 1, size - 1, parsed)) return 0;

    Json::Value settings;
    switch (data[0] % 3) {
        case 0:
            settings = parsed;
            break;
        case 1:
            settings["appSetting"] = parsed;
            break;
        default:
            settings["appSetting"]["b_mode"] = 3;
            settings["thresholdSetting"] = parsed;
            break;
    }

    CountingHost host;
    Battery32 dev;
    dev.data_id_ = 4242;
    dev.addr_ = 0x85;
    Apply(dev, settings);
    Apply(dev, settings);
    RunRound(dev, host);
    LookUpEverything(dev);
    RunRound(dev, host);
    return 0;
}
