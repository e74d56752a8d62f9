#include "tools/runner/site_partners.h"

#include <map>
#include <set>

#include "battery/battery.h"
#include "battery/numeric_text.h"
#include "tools/common/json_input.h"

namespace runner {
namespace {

using json_input::InputError;

// The device's text: asString() of a number, a string, null or a boolean.
std::string DeviceText(const Json::Value& v, const std::string& where) {
    if (v.isArray() || v.isObject()) {
        throw InputError(where + ": must be a data id, got " + json_input::TypeName(v));
    }
    return v.asString();
}

using Graph = std::map<std::uint32_t, const std::vector<PartnerRef>*>;

// Depth-first walk; on a cycle, throws naming the chain from where it closes.
void Walk(const Graph& graph, std::uint32_t id, std::vector<std::uint32_t>& path,
          std::set<std::uint32_t>& done) {
    if (done.count(id)) return;
    for (std::size_t k = 0; k < path.size(); ++k) {
        if (path[k] != id) continue;
        const std::vector<PartnerRef>& from = *graph.at(path.back());
        std::string chain;
        for (std::size_t j = k; j < path.size(); ++j) chain += std::to_string(path[j]) + " -> ";
        std::string where = from.front().where;
        if (!where.empty() && where.back() == ']')
            where.erase(where.rfind('['));  // the list, not one entry
        throw InputError(where + ": " + chain + std::to_string(id) +
                         " is a cycle: each would take its value from the other");
    }
    path.push_back(id);
    for (const PartnerRef& p : *graph.at(id)) Walk(graph, p.data_id, path, done);
    path.pop_back();
    done.insert(id);
}

void CheckList(const std::vector<PartnerNode>& devices,
               const std::vector<PartnerRef> DevicePartners::*list) {
    std::set<std::uint32_t> ids;
    for (const PartnerNode& d : devices) ids.insert(d.data_id);
    Graph graph;
    for (const PartnerNode& d : devices) {
        for (const PartnerRef& p : d.partners->*list) {
            const std::string id = std::to_string(p.data_id);
            if (p.data_id == d.data_id)
                throw InputError(p.where + ": " + id + " is the device itself");
            if (!ids.count(p.data_id))
                throw InputError(p.where + ": " + id + " names no device of this site");
        }
        graph[d.data_id] = &(d.partners->*list);
    }
    std::set<std::uint32_t> done;
    for (const PartnerNode& d : devices) {
        std::vector<std::uint32_t> path;
        Walk(graph, d.data_id, path, done);
    }
}

}  // namespace

DevicePartners ReadPartners(const Json::Value& app, const std::string& where) {
    DevicePartners partners;
    if (!app.isObject()) return partners;
    const Json::Value& list = app["group_voltage"];
    // The device ignores a longer list whole, so it names no partners.
    if (list.isArray() && list.size() <= Battery::kMaxSettingsArrayElements) {
        const std::string list_where = json_input::Member(where, "group_voltage");
        std::set<std::uint32_t> seen;  // the device keeps each partner once
        for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
            const std::string place = json_input::Element(list_where, i);
            const std::uint32_t id = numeric_text::ToPartnerId(DeviceText(list[i], place));
            if (seen.insert(id).second) partners.group_voltage.push_back({id, place});
        }
    }
    const Json::Value& current = app["r_data_id"];
    if (!current.isNull()) {
        const std::string place = json_input::Member(where, "r_data_id");
        // The device reads it with atoi into an int and asks with it as unsigned.
        const int id = numeric_text::ToInt(DeviceText(current, place));
        if (id != 0) partners.current.push_back({static_cast<std::uint32_t>(id), place});
    }
    return partners;
}

void CheckPartners(const std::vector<PartnerNode>& devices) {
    CheckList(devices, &DevicePartners::group_voltage);
    CheckList(devices, &DevicePartners::current);
}

}  // namespace runner
