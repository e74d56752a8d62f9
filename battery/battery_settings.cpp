// Reading the link settings under "appSetting".

#include <algorithm>
#include <climits>
#include <cstdint>
#include <iostream>
#include <set>

#include "battery/battery.h"
#include "battery/numeric_text.h"
#include "battery/protocol.h"
#include "battery/settings_json.h"

using numeric_text::ToFloat;
using numeric_text::ToInt;
using numeric_text::ToIntTruncated;
using numeric_text::ToPartnerId;
using settings_json::IsPresent;

namespace {

constexpr int kPresetStartGroup1 = 0;
constexpr int kPresetStartGroup2 = 17;

// The seconds for a "save_interval" in minutes; nothing positive means the default.
int SaveIntervalSeconds(int minutes) {
    const std::int64_t seconds = static_cast<std::int64_t>(minutes) * 60;
    if (seconds <= 0) return Battery::kDefaultSaveIntervalSeconds;
    return seconds > INT_MAX ? INT_MAX : static_cast<int>(seconds);
}

// Appends each converted element of `array` that `list` does not hold yet and
// that is not `excluded` (when given). The two "InitSetting <id> <key> ..."
// lines it writes are part of the device's output, like the other trace lines:
// keep their texts.
template <typename T, typename Convert>
void AppendDistinct(const Json::Value& array, std::vector<T>& list, Convert convert,
                    const char* key, std::uint32_t data_id, const T* excluded = nullptr) {
    if (array.size() > Battery::kMaxSettingsArrayElements) {
        std::cout << "InitSetting " << data_id << " " << key << " ignored: " << array.size()
                  << " elements, at most " << Battery::kMaxSettingsArrayElements << std::endl;
        return;
    }
    std::set<T> seen(list.begin(), list.end());
    bool excluded_reported = false;
    for (Json::ArrayIndex i = 0; i < array.size(); ++i) {
        const T value = convert(array[i].asString());
        if (excluded != nullptr && value == *excluded) {
            if (!excluded_reported) {
                std::cout << "InitSetting " << data_id << " " << key << " skips " << value
                          << ": the device's own data id" << std::endl;
                excluded_reported = true;
            }
            continue;
        }
        if (seen.insert(value).second) list.push_back(value);
    }
}

}  // namespace

int Battery::InitSetting(const Json::Value& settings) {
    // The host stores the address with its top bit inverted relative to the wire.
    addr_ = static_cast<unsigned char>(addr_ - 0x80);

    const Json::Value& app = settings["appSetting"];
    if (!IsPresent(app) || !app.isObject()) return 1;
    ReadLinkSettings(app);
    return 1;
}

void Battery::ReadLinkSettings(const Json::Value& app) {
    auto read = [&app](const char* key, auto assign) {
        const Json::Value& value = app[key];
        if (IsPresent(value)) assign(value.asString());
    };

    read("battery_type", [this](const std::string& t) { battery_type_ = ToIntTruncated(t); });
    read("current_ratio", [this](const std::string& t) { current_ratio_ = ToIntTruncated(t); });
    read("group_a", [this](const std::string& t) { group_a_ = ToFloat(t); });
    read("group_b", [this](const std::string& t) { group_b_ = ToFloat(t); });
    read("battery_adjust", [this](const std::string& t) { battery_adjust_ = ToFloat(t); });
    read("version", [this](const std::string& t) { version_ = ToInt(t); });
    read("dir", [this](const std::string& t) { dir_ = ToInt(t); });
    read("r_data_id", [this](const std::string& t) { r_data_id_ = ToInt(t); });
    read("r_current_field", [this](const std::string& t) { r_current_field_ = t; });
    read("save_interval",
         [this](const std::string& t) { save_interval_ = SaveIntervalSeconds(ToInt(t)); });

    const Json::Value& group_index = app["group_index"];
    if (IsPresent(group_index)) {
        const Json::Value& amount = app["amount"];
        if (IsPresent(amount)) {
            const int group = ToInt(group_index.asString());
            const int count = ToInt(amount.asString());
            if (group == 1 || group == 2) {
                battery_start_ = group == 1 ? kPresetStartGroup1 : kPresetStartGroup2;
                // A cell reply carries 32 cells, so no index past 31 can ever be
                // checked; capping keeps a huge "amount" from exhausting memory.
                const int cells =
                    std::min<int>(count, static_cast<int>(battery_protocol::kCellsPerReply));
                for (int i = 0; i < cells; ++i) active_batteries_.push_back(i);
            }
        }
    }

    const Json::Value& active = app["active_batteries"];
    if (IsPresent(active) && active.isArray()) {
        AppendDistinct(
            active, active_batteries_, [](const std::string& t) { return ToInt(t); },
            "active_batteries", data_id_);
    }

    read("battery_start", [this](const std::string& t) { battery_start_ = ToInt(t); });

    const Json::Value& partners = app["group_voltage"];
    if (IsPresent(partners) && partners.isArray()) {
        // A device listed as its own partner would add its own voltage to itself.
        const std::uint32_t own_id = data_id_;
        AppendDistinct(partners, group_voltage_ids_, ToPartnerId, "group_voltage", data_id_,
                       &own_id);
    }

    read("t0", [this](const std::string& t) { t0_ = ToFloat(t); });
    read("t31", [this](const std::string& t) { t31_ = ToFloat(t); });
}
