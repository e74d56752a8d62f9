#include "tools/runner/outputs/web/web_api.h"

#include <json/writer.h>
#include <time.h>

#include <cstdio>
#include <ctime>
#include <utility>

#include "tools/common/time_text.h"
#include "tools/record/record_format.h"

namespace runner::outputs {
namespace {

std::string Quoted(const std::string& text) { return Json::valueToQuotedString(text.c_str()); }

// ISO 8601 with the zone's offset, quoted; null for the epoch (never).
std::string TimeOrNull(std::chrono::system_clock::time_point when) {
    const std::string text = time_text::IsoTime(when);
    return text.empty() ? "null" : Quoted(text);
}

// A comparable number for a local wall-clock time, the way records are stamped.
std::int64_t TimeKey(int year, int month, int day, int hour, int minute, int second) {
    return ((((static_cast<std::int64_t>(year) * 13 + month) * 32 + day) * 24 + hour) * 60 +
            minute) *
               60 +
           second;
}

}  // namespace

std::string SiteChangeJson(const SiteChange& change) {
    std::string out = "{\"site\":" + Quoted(change.site_name);
    for (const auto& [name, ids] :
         {std::pair{"added", &change.added}, std::pair{"removed", &change.removed},
          std::pair{"restarted", &change.restarted}}) {
        out += std::string(",\"") + name + "\":[";
        for (const std::uint32_t id : *ids)
            out += (out.back() == '[' ? "" : ",") + std::to_string(id);
        out += "]";
    }
    return out + "}";
}

std::string DeviceJson(const DeviceStatus& s, const std::string& record_json,
                       std::uint64_t history_records) {
    std::string out = "{\"data_id\":" + std::to_string(s.data_id);
    out += ",\"name\":" + Quoted(s.name) + ",\"port\":" + Quoted(s.port);
    out += std::string(",\"state\":\"") + StateName(s) + "\"";
    out += ",\"silent_since\":" + TimeOrNull(s.silent_since);
    out += ",\"port_lost_since\":" + TimeOrNull(s.port_lost_since);
    out += std::string(",\"stale\":") + (s.stale ? "true" : "false");
    out += ",\"last_round\":" + TimeOrNull(s.last_round);
    out += ",\"rounds\":" + std::to_string(s.rounds);
    out += ",\"rounds_started\":" + std::to_string(s.rounds_started);
    out += ",\"abandoned\":" + std::to_string(s.abandoned);
    out += ",\"resends\":" + std::to_string(s.resends);
    out += ",\"unanswered\":" + std::to_string(s.unanswered);
    out += ",\"wrong_replies\":" + std::to_string(s.wrong_replies);
    out += ",\"polls\":" + std::to_string(s.polls);
    out += ",\"errors\":" + std::to_string(s.errors);
    out += ",\"port_state\":" + PortStateJson(s.port_state);
    out += ",\"energy\":" + energy::EnergyJson(s.energy);
    out += ",\"history_records\":" + std::to_string(history_records);
    out += ",\"cell_limits\":[";
    for (const CellLimit& l : s.cell_limits) {
        out += (out.back() == '[' ? "" : ",") + std::string("{\"rule\":") + Quoted(l.rule) +
               ",\"side\":\"" + (l.above ? "above" : "below") +
               "\",\"limit\":" + record::FormatFloat(l.limit) +
               ",\"level\":" + std::to_string(l.level) +
               ",\"cell\":" + (l.cell < 0 ? std::string("null") : std::to_string(l.cell + 1)) + "}";
    }
    out += "]";
    out += ",\"record\":" + (record_json.empty() ? std::string("null") : record_json);
    return out + "}";
}

std::string HeadingJson(const ViewHeading& h) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char number[32];
    std::snprintf(number, sizeof number, "%.15g", h.silent_after_s);
    return "\"host\":" + Quoted(h.host) + ",\"site\":" + Quoted(h.site) +
           ",\"version\":" + Quoted(h.version) +
           ",\"time_zone\":" + Quoted(local.tm_zone ? local.tm_zone : "") + ",\"utc_offset\":\"" +
           time_text::OffsetText(local.tm_gmtoff) + "\",\"tick_ms\":" + std::to_string(h.tick_ms) +
           ",\"silent_after_s\":" + number + ",";
}

std::string AlarmsJson(const alarm_log::ActiveAlarms& active,
                       const std::deque<std::string>& recent) {
    std::string body = "{\"active\":[";
    for (const alarm_log::AlarmRecord& a : active.list())
        body += (body.back() == '[' ? "\n" : ",\n") + alarm_log::AlarmJson(a);
    body += "\n],\"recent\":[";
    for (const std::string& json : recent) body += (body.back() == '[' ? "\n" : ",\n") + json;
    return body + "\n]}\n";
}

std::int64_t StampKey(const ttime& t) {
    return TimeKey(static_cast<int>(record::StampYear(t)), t.month, t.day, t.hour, t.minute,
                   t.second);
}

std::optional<std::int64_t> ParseQueryTime(const std::string& text) {
    const std::optional<tm> local = time_text::ParseTimeText(text);
    if (!local) return std::nullopt;
    return TimeKey(local->tm_year + 1900, local->tm_mon + 1, local->tm_mday, local->tm_hour,
                   local->tm_min, local->tm_sec);
}

}  // namespace runner::outputs
