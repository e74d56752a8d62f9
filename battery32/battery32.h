#pragma once
// The 32-cell battery string device.

#include <array>
#include <cstdint>
#include <string>

#include "battery/battery.h"
#include "battery32/battery32_data.h"
#include "battery32/uni_data_device.h"

// Instantiated once, in uni_data_device.cpp.
extern template class UniDataDevice<Battery32_Data_t, Battery, kBattery32RecordTypeId>;

class Battery32 : public UniDataDevice<Battery32_Data_t, Battery, kBattery32RecordTypeId> {
public:
    Battery32();
    ~Battery32() override;

    float Get_Value(unsigned int source, const std::string& name) const override;
    bool LoadFromCache(const unsigned char* data, int length) override;
    using UniDataDevice::LoadFromCache;
    int ProcessBatteryVoltage() override;
    void RunCheckThreshold() override;

    float cell_voltages_[kBattery32Cells];
    std::int32_t cell_count_;

private:
    // cell_count_ bounded by the arrays it indexes.
    int CellsInUse() const {
        return cell_count_ < 0 ? 0
                               : (cell_count_ > kBattery32Cells ? kBattery32Cells : cell_count_);
    }
    void SubmitCellCheck(int index);
    // Names submitted with each cell check, built once per cell-number offset so
    // that a round makes no allocation of its own.
    void BuildCellCheckNames();

    std::array<std::string, kBattery32Cells> cell_variable_names_;
    std::array<std::string, kBattery32Cells> cell_display_names_;
    long long display_names_start_ = 0;
};
