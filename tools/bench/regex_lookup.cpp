#include "tools/bench/regex_lookup.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <climits>
#include <stdexcept>

#include "battery32/battery32.h"

namespace bench {

const std::regex& CellNamePattern() {
    static const std::regex pattern("battery_(\\d+)_value");
    return pattern;
}

std::optional<int> RegexCellIndex(const std::string& name, const std::regex& pattern) {
    std::smatch match;
    if (!std::regex_search(name, match, pattern)) return std::nullopt;
    long long index = 0;
    for (auto it = match[1].first; it != match[1].second; ++it) {
        if (index <= INT_MAX) index = index * 10 + (*it - '0');
    }
    return static_cast<int>(index > INT_MAX ? INT_MAX : index);
}

float RegexGetValue(const Battery32& device, const std::string& name, const std::regex& pattern) {
    // The device's own checks, in its order and with its messages.
    if (!device.data_ready_) throw std::out_of_range("数据未就绪");
    if (device.last_active_time_.is_special()) throw std::out_of_range("数据已超时");
    const long long age =
        (boost::posix_time::second_clock::local_time() - device.last_active_time_).total_seconds();
    if (age > 60) throw std::out_of_range("数据已超时");

    if (const auto index = RegexCellIndex(name, pattern)) {
        const int in_use = device.cell_count_ < 0                 ? 0
                           : device.cell_count_ > kBattery32Cells ? kBattery32Cells
                                                                  : device.cell_count_;
        if (*index >= 0 && *index < in_use) return device.data_.cell_voltage[*index];
    }
    return device.Battery::Get_Value(0, name);
}

}  // namespace bench
