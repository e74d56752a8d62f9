#include "tests/support/device_driver.h"

#include <json/reader.h>

#include <stdexcept>

namespace test_support {

module::Readings TypicalReadings() {
    module::Readings r;
    for (std::size_t i = 0; i < r.cells.size(); ++i)
        r.cells[i] = static_cast<std::uint16_t>(1200 + i);  // 12.00 .. 12.31 V
    r.group = 3890;                                         // 389.0 V
    r.current = 125;                                        // 12.5 A
    r.temperature = 2550;                                   // 25.5 C
    return r;
}

Json::Value ParseJson(const std::string& text) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors))
        throw std::invalid_argument("bad JSON in test: " + errors);
    return value;
}

std::unique_ptr<Battery32> MakeDevice(std::uint32_t data_id, std::uint8_t host_addr,
                                      const Json::Value& settings) {
    auto device = std::make_unique<Battery32>();
    device->data_id_ = data_id;
    device->addr_ = host_addr;
    device->InitSetting(settings);
    return device;
}

int Feed(Battery32& device, const Bytes& bytes) {
    Bytes copy = bytes;
    return device.process(copy.data(), static_cast<unsigned int>(copy.size()));
}

int RunGoodRound(Battery32& device, const module::Readings& readings) {
    device.RefreshStatus();
    int result = 0;
    for (std::uint8_t code : {module::kCmdCells, module::kCmdGroupVoltage, module::kCmdCurrent,
                              module::kCmdTemperature})
        result = Feed(device, module::ReplyFrame(device.addr_, code, readings));
    return result;
}

}  // namespace test_support
