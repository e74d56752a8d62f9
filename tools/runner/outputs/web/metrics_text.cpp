#include "tools/runner/outputs/web/metrics_text.h"

#include <charconv>
#include <cmath>
#include <set>

#include "tools/record/record_format.h"

namespace runner::outputs {
namespace {

using Record = Battery32_Data_t;

// A sample's value as the format reads it: shortest exact form, NaN, +Inf, -Inf.
std::string Number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// A float reading written as --json writes it, so that both read back the same.
std::string Reading(float value) {
    return std::isfinite(value) ? record::FormatFloat(value) : Number(value);
}

// A label value with backslash, double quote and line end escaped.
std::string Escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out;
}

std::string Label(const char* name, const std::string& value) {
    return std::string(name) + "=\"" + Escaped(value) + "\"";
}

class Writer {
public:
    explicit Writer(std::string& out) : out_(out) {}
    void Family(const char* name, const char* type, const char* help) {
        name_ = name;
        out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void Sample(const std::string& labels, const std::string& value) {
        out_ += name_;
        if (!labels.empty()) out_ += "{" + labels + "}";
        out_ += " " + value + "\n";
    }

private:
    std::string& out_;
    const char* name_ = "";
};

std::string DeviceLabel(const DeviceStatus& d) {
    return Label("data_id", std::to_string(d.data_id));
}

// Cells with a reading (a cell without one holds 0).
bool HasReading(float volts) { return std::isfinite(volts) && volts > 0; }

void Runner(Writer& w, const MetricsSource& s) {
    w.Family("battery32_build_info", "gauge", "The runner's version, as a label; always 1.");
    w.Sample(Label("version", s.version), "1");
    w.Family("battery32_start_time_seconds", "gauge",
             "When the runner started, in seconds since 1970.");
    w.Sample("", std::to_string(std::chrono::system_clock::to_time_t(s.started)));
    w.Family("battery32_device_info", "gauge",
             "Each device of the site, with its name and serial port; always 1.");
    for (const DeviceStatus* d : *s.devices) {
        w.Sample(DeviceLabel(*d) + "," + Label("name", d->name) + "," + Label("port", d->port),
                 "1");
    }
}

// The readings of the latest record each device published.
void Readings(Writer& w, const MetricsSource& s) {
    const auto each = [&](const char* name, const char* help, auto value) {
        w.Family(name, "gauge", help);
        for (const DeviceStatus* d : *s.devices) {
            const auto r = s.records->find(d->data_id);
            if (r != s.records->end()) value(*d, r->second);
        }
    };
    each("battery32_cell_voltage_volts",
         "Voltage of each cell with a reading (label cell: 0-based, as battery_<cell>_value).",
         [&](const DeviceStatus& d, const Record& r) {
             for (int i = 0; i < kBattery32Cells; ++i) {
                 if (!HasReading(r.cell_voltage[i])) continue;
                 w.Sample(DeviceLabel(d) + "," + Label("cell", std::to_string(i)),
                          Reading(r.cell_voltage[i]));
             }
         });
    each("battery32_cell_voltage_spread_volts",
         "Highest minus lowest cell voltage, over the cells with a reading.",
         [&](const DeviceStatus& d, const Record& r) {
             float low = 0, high = 0;
             bool any = false;
             for (const float v : r.cell_voltage) {
                 if (!HasReading(v)) continue;
                 low = any ? std::min(low, v) : v;
                 high = any ? std::max(high, v) : v;
                 any = true;
             }
             if (any) w.Sample(DeviceLabel(d), Reading(high - low));
         });
    each("battery32_group_voltage_volts", "Voltage of the whole string.",
         [&](const DeviceStatus& d, const Record& r) {
             w.Sample(DeviceLabel(d), Reading(r.group_voltage));
         });
    each("battery32_current_amperes", "String current, as the module reports its sign.",
         [&](const DeviceStatus& d, const Record& r) {
             w.Sample(DeviceLabel(d), Reading(r.group_current));
         });
    each("battery32_temperature_celsius", "Temperature of the string.",
         [&](const DeviceStatus& d, const Record& r) {
             w.Sample(DeviceLabel(d), Reading(r.temperature));
         });
}

void Energy(Writer& w, const MetricsSource& s) {
    const struct {
        const char* name;
        const char* help;
        double energy::EnergyCounters::*field;
        double scale;
    } kCounters[] = {
        {"battery32_charged_coulombs_total", "Charge that went into the string (3600 C = 1 Ah).",
         &energy::EnergyCounters::charged_ah, 3600.0},
        {"battery32_discharged_coulombs_total",
         "Charge that came out of the string (3600 C = 1 Ah).",
         &energy::EnergyCounters::discharged_ah, 3600.0},
        {"battery32_charged_joules_total", "Energy that went into the string (3.6 MJ = 1 kWh).",
         &energy::EnergyCounters::charged_kwh, 3.6e6},
        {"battery32_discharged_joules_total",
         "Energy that came out of the string (3.6 MJ = 1 kWh).",
         &energy::EnergyCounters::discharged_kwh, 3.6e6},
    };
    for (const auto& c : kCounters) {
        w.Family(c.name, "counter", c.help);
        for (const DeviceStatus* d : *s.devices)
            w.Sample(DeviceLabel(*d), Number(d->energy.*c.field * c.scale));
    }
}

void Link(Writer& w, const MetricsSource& s) {
    const struct {
        const char* name;
        const char* help;
        std::uint64_t line::LinkStatus::*field;
    } kCounters[] = {
        {"battery32_rounds_total", "Rounds the device completed.", &line::LinkStatus::rounds},
        {"battery32_unanswered_commands_total", "Commands whose reply timeout passed.",
         &line::LinkStatus::unanswered},
        {"battery32_resends_total", "Commands the device sent again.", &line::LinkStatus::resends},
        {"battery32_wrong_replies_total", "Replies from another module's address that reached it.",
         &line::LinkStatus::wrong_replies},
    };
    for (const auto& c : kCounters) {
        w.Family(c.name, "counter", c.help);
        for (const DeviceStatus* d : *s.devices)
            w.Sample(DeviceLabel(*d), std::to_string(d->*c.field));
    }
    w.Family("battery32_silent", "gauge", "1 while the device is called silent, else 0.");
    for (const DeviceStatus* d : *s.devices)
        w.Sample(DeviceLabel(*d), d->state == line::LinkState::kSilent ? "1" : "0");
    w.Family("battery32_last_round_timestamp_seconds", "gauge",
             "When the device last completed a round, in seconds since 1970.");
    for (const DeviceStatus* d : *s.devices) {
        if (d->last_round == std::chrono::system_clock::time_point{}) continue;
        w.Sample(DeviceLabel(*d),
                 Number(std::chrono::duration<double>(d->last_round.time_since_epoch()).count()));
    }
}

void Alarms(Writer& w, const MetricsSource& s) {
    w.Family("battery32_active_alarms", "gauge",
             "Alarms active now, by level (1 warning, 2 major, 3 critical).");
    for (const DeviceStatus* d : *s.devices) {
        int count[4] = {0, 0, 0, 0};
        for (const alarm_log::AlarmRecord& a : s.alarms->list())
            if (a.data_id == d->data_id && a.level >= 1 && a.level <= 3) ++count[a.level];
        for (int level = 1; level <= 3; ++level)
            w.Sample(DeviceLabel(*d) + "," + Label("level", std::to_string(level)),
                     std::to_string(count[level]));
    }
}

// Every device on a port carries the same figures of its line: the first one's are shown.
void Ports(Writer& w, const MetricsSource& s) {
    std::set<std::string> seen;
    std::vector<const DeviceStatus*> firsts;
    for (const DeviceStatus* d : *s.devices)
        if (seen.insert(d->port).second) firsts.push_back(d);
    w.Family("battery32_port_cycle_seconds", "gauge",
             "Time between two turns of a device on the line, as measured.");
    for (const DeviceStatus* d : firsts) {
        const double cycle = d->line_pace.cycle_seconds();
        if (cycle > 0) w.Sample(Label("port", d->port), Number(cycle));
    }
    w.Family("battery32_port_rounds_per_second", "gauge",
             "Rounds the line's devices complete per second, over about the last ten seconds.");
    for (const DeviceStatus* d : firsts) {
        if (const auto rate = d->line_pace.RoundsPerSecond(s.now))
            w.Sample(Label("port", d->port), Number(*rate));
    }
}

}  // namespace

std::string MetricsText(const MetricsSource& source) {
    std::string out;
    out.reserve(4096 + 4096 * source.devices->size());
    Writer w(out);
    Runner(w, source);
    Readings(w, source);
    Energy(w, source);
    Link(w, source);
    Alarms(w, source);
    Ports(w, source);
    return out;
}

}  // namespace runner::outputs
