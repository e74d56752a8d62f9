#include "tests/tools/support/expected_record.h"

#include <cstring>

#include "tools/module/module_simulator.h"
#include "tools/record/history_file.h"
#include "tools/record/record_format.h"

namespace tools_test {

ExpectedRecord Expect(const module::ModuleConfig& module, float partner_voltage) {
    module::ModuleSimulator sim;
    sim.AddModule(module);
    ExpectedRecord e;
    const module::Readings raw = sim.NominalReadings(module.address);
    for (std::size_t i = 0; i < e.cells.size(); ++i) {
        const float v = static_cast<float>(raw.cells[i]) / 100.0f;
        e.cells[i] = (v < 9.0f || v > 15.0f) ? 0.0f : v;
    }
    e.group_voltage = static_cast<float>(raw.group) / 10.0f + partner_voltage;
    e.group_current = static_cast<float>(raw.current) / 10.0f;
    e.temperature = static_cast<float>(raw.temperature) / 100.0f;
    return e;
}

namespace {
bool Same(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }
std::string Pair(const char* what, float got, float want) {
    return std::string(what) + " " + record::FormatFloat(got) + " (want " +
           record::FormatFloat(want) + "); ";
}
}  // namespace

std::string Differences(const Battery32_Data_t& record, std::uint32_t data_id,
                        const ExpectedRecord& expected) {
    std::string diff;
    if (record.data_id != data_id) diff += "data_id " + std::to_string(record.data_id) + "; ";
    for (int i = 0; i < kBattery32Cells; ++i) {
        if (!Same(record.cell_voltage[i], expected.cells[i])) {
            diff += Pair(("cell " + std::to_string(i + 1)).c_str(), record.cell_voltage[i],
                         expected.cells[i]);
        }
    }
    if (!Same(record.group_voltage, expected.group_voltage)) {
        diff += Pair("group_voltage", record.group_voltage, expected.group_voltage);
    }
    if (!Same(record.group_current, expected.group_current)) {
        diff += Pair("group_current", record.group_current, expected.group_current);
    }
    const float temperature = record.temperature;
    if (!Same(temperature, expected.temperature))
        diff += Pair("temperature", temperature, expected.temperature);
    if (record.status != 0) diff += "status " + std::to_string(record.status) + "; ";
    if (record::FormatTime(record.timestamp).empty()) diff += "no time stamp; ";
    return diff;
}

std::vector<Battery32_Data_t> HistoryRecords(const std::string& path) {
    std::vector<Battery32_Data_t> out;
    record::HistoryReader reader(path, record::kRecordSize);
    while (const std::uint8_t* image = reader.Next()) {
        out.push_back(*record::DecodeRecord(image, record::kRecordSize));
    }
    return out;
}

}  // namespace tools_test
