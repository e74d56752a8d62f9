#include "tests/tools/support/alarm_episode.h"

#include <json/reader.h>

#include <ostream>
#include <sstream>

namespace tools_test {

using namespace std::chrono_literals;

module::ModuleConfig EpisodeModule() {
    module::ModuleConfig m;
    m.address = 1;
    m.cells = module::CellProfile::Flat(13.5);
    m.current = 2.5;
    m.temperature = 24.0;
    module::ReadingChange sag;
    sag.from = 600ms;
    sag.to = 1500ms;
    sag.cell = 3;
    sag.cell_volts = 11.5;
    module::ReadingChange silent;
    silent.from = 2000ms;
    silent.to = 3500ms;
    silent.silent = true;
    m.changes = {sag, silent};
    return m;
}

std::string EpisodeSite(const std::string& port) {
    return R"({"lost_communication_level": 3, "devices": [{"data_id": 1001, "address": 1,
        "port": ")" +
           port + R"(", "settings": {"appSetting": {"b_mode": "3"}, "thresholdSetting": {
        "cell_low": {"NMAlarmID": "12", "ID": "3", "SignalNumber": "7",
                     "watch": "battery_*_value", "below": 12.0, "clear": 12.5, "level": 2}}}}]})";
}

std::vector<std::string> EpisodeArgs() { return {"--silent-after", "1", "--rounds", "25"}; }

std::vector<SeenAlarm> EpisodeAlarms() {
    return {{"raised", "cell_low", "battery_2_value"},
            {"cleared", "cell_low", "battery_2_value"},
            {"raised", "lost_communication", "link"},
            {"cleared", "lost_communication", "link"}};
}

std::vector<SeenAlarm> AlarmLines(const std::vector<std::string>& json_lines) {
    std::vector<SeenAlarm> seen;
    for (const std::string& text : json_lines) {
        Json::Value v;
        std::istringstream in(text);
        if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &v, nullptr) || !v.isObject() ||
            !v.isMember("alarm")) {
            continue;
        }
        seen.push_back({v["alarm"].asString(), v["rule"].asString(), v["variable"].asString()});
    }
    return seen;
}

void PrintTo(const SeenAlarm& a, std::ostream* os) {
    *os << a.alarm << " " << a.rule << " " << a.variable;
}

}  // namespace tools_test
