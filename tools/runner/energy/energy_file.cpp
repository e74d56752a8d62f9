#include "tools/runner/energy/energy_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <stdexcept>

#include "tools/common/json_input.h"
#include "tools/record/history_check.h"

namespace runner::energy {
namespace {

constexpr const char* kCounts[] = {"charged_ah", "discharged_ah", "charged_kwh", "discharged_kwh"};

double EnergyCounters::*const kFields[] = {
    &EnergyCounters::charged_ah, &EnergyCounters::discharged_ah, &EnergyCounters::charged_kwh,
    &EnergyCounters::discharged_kwh};

// Why the file holds no counters of `data_id`, or "" when it does (then in `out`).
// `tag` names the kind of file for the name it is set aside under.
std::string Judge(const std::string& path, std::uint32_t data_id, EnergyCounters& out,
                  const char** tag) {
    *tag = "damaged";
    try {
        const Json::Value root = json_input::ParseFile(path);
        json_input::ExpectObject(root, path);
        const auto id = json_input::RequireInteger(root, "data_id", path, 0, UINT32_MAX);
        for (std::size_t i = 0; i < std::size(kCounts); ++i) {
            const auto value = json_input::OptionalNumber(root, kCounts[i], path);
            if (!value) return std::string(kCounts[i]) + " is missing";
            if (!std::isfinite(*value) || *value < 0)
                return std::string(kCounts[i]) + " is not a count";
            out.*kFields[i] = *value;
        }
        out.since = json_input::RequireInteger(root, "since", path, 0, INT64_MAX);
        if (id != data_id) {
            *tag = "other-device";
            return "it holds device " + std::to_string(id) + "'s counters";
        }
    } catch (const json_input::InputError& e) {
        std::string why = e.what();
        // The path leads every message of the reader: said once already.
        if (why.rfind(path + ": ", 0) == 0) why.erase(0, path.size() + 2);
        return why;
    }
    return "";
}

}  // namespace

std::size_t EnergyFileText(std::uint32_t data_id, const EnergyCounters& c, char* text,
                           std::size_t size) {
    const int n =
        std::snprintf(text, size,
                      "{\"data_id\":%" PRIu32
                      ",\"charged_ah\":%.17g,\"discharged_ah\":%.17g,"
                      "\"charged_kwh\":%.17g,\"discharged_kwh\":%.17g,\"since\":%" PRId64 "}\n",
                      data_id, c.charged_ah, c.discharged_ah, c.charged_kwh, c.discharged_kwh,
                      static_cast<std::int64_t>(c.since));
    return n < 0 ? 0 : std::min(static_cast<std::size_t>(n), size - 1);
}

std::optional<EnergyCounters> ReadEnergyFile(const std::string& path, std::uint32_t data_id,
                                             std::string* note) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return std::nullopt;
        throw std::runtime_error(path + ": " + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode)) throw std::runtime_error(path + ": not a regular file");
    if (::access(path.c_str(), R_OK) != 0)
        throw std::runtime_error(path + ": cannot read (" + std::strerror(errno) + ")");
    EnergyCounters counters;
    const char* tag = nullptr;
    const std::string why = Judge(path, data_id, counters, &tag);
    if (why.empty()) return counters;
    const std::string aside = record::SetAside(path, tag, std::time(nullptr));
    const bool other = std::strcmp(tag, "other-device") == 0;
    *note = "energy counters " + path + (other ? " are not this device's (" : " are damaged (") +
            why + "); renamed aside to " + aside + ", counting starts at zero";
    return std::nullopt;
}

}  // namespace runner::energy
