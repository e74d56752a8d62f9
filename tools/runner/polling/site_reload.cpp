#include "tools/runner/polling/site_reload.h"

#include <exception>
#include <set>

#include "tools/runner/check/check_run.h"

namespace runner::polling {
namespace {

// "1003, 1004"
std::string Ids(const std::vector<std::uint32_t>& ids) {
    std::string text;
    for (const std::uint32_t id : ids) text += (text.empty() ? "" : ", ") + std::to_string(id);
    return text;
}

std::set<std::string> Ports(const std::vector<site::SiteDevice>& devices) {
    std::set<std::string> ports;
    for (const site::SiteDevice& d : devices) ports.insert(d.port);
    return ports;
}

}  // namespace

void SiteReload::Run() {
    // Nothing in a reload may end the run: what no step caught is said and polling goes on.
    try {
        Take();
    } catch (const std::exception& e) {
        console_.Problem(std::string("reload: ") + e.what() + "; polling goes on");
    }
}

void SiteReload::Take() {
    outputs::SiteChange change;
    std::optional<site::Site> next = ReadFit(change.refused);
    if (!next) {
        console_.Problem("reload refused: " + change.refused +
                         "; still polling the site as it was");
        change.site_name = running_.name;
        outputs_.OnSiteReloaded(change);
        return;
    }
    running_.devices = poller_.Entries();
    const SiteDiff diff = CompareSites(running_, *next);
    console_.Note(Summary(diff, *next));
    poller_.Apply(*next, diff);
    change.site_name = next->name;
    change.added = diff.added;
    change.removed = diff.removed;
    change.restarted = diff.restarted;
    running_ = std::move(*next);
    outputs_.OnSiteReloaded(change);
}

std::optional<site::Site> SiteReload::ReadFit(std::string& why) const {
    std::optional<site::Site> next;
    try {
        next = site::ReadSiteFile(options_.site_path);
    } catch (const std::exception& e) {
        why = e.what();
        return std::nullopt;
    }
    const std::vector<std::string> problems = Problems(*next);
    if (problems.empty()) return next;
    why = problems.front();
    if (problems.size() > 1) {
        why += " (and " + console::Count(problems.size() - 1, "more problem", "more problems") +
               ": --check shows every one)";
    }
    return std::nullopt;
}

std::vector<std::string> SiteReload::Problems(site::Site& next) const {
    std::vector<std::string> problems;
    for (const std::string& warning : next.warnings) {
        if (options_.strict) {
            problems.push_back(warning + " (--strict makes it an error)");
        } else {
            console_.Problem(warning);
        }
    }
    const std::string in = options_.site_path + ": ";
    if (simulated_ != nullptr) {
        if (const std::string problem = simulated_->Redirect(next); !problem.empty())
            return {in + problem};
    }
    std::vector<std::string> refusals;
    check::RefusedSettings(next, plugin_, console_, &refusals);
    for (const std::string& refusal : refusals) problems.push_back(in + refusal);
    if (simulated_ != nullptr) return problems;  // its lines are there
    // A port that runs already is watched as it runs: lost, it is reopened.
    for (const std::string& problem : check::PortProblems(next, Ports(poller_.Entries())))
        problems.push_back(in + problem);
    return problems;
}

std::string SiteReload::Summary(const SiteDiff& diff, const site::Site& next) const {
    std::string text;
    const auto part = [&text](const std::vector<std::uint32_t>& ids, const char* what) {
        if (ids.empty()) return;
        text += (text.empty() ? console::Count(ids.size(), "device ", "devices ")
                              : ", " + std::to_string(ids.size()) + " ") +
                what + " (" + Ids(ids) + ")";
    };
    part(diff.added, "added");
    part(diff.removed, "removed");
    part(diff.restarted, "restarted");
    const std::size_t same = diff.unchanged.size();
    text += text.empty() ? console::Count(same, "device", "devices") + " unchanged"
                         : ", " + std::to_string(same) + " unchanged";
    std::string reopened;
    const std::set<std::string> before = Ports(running_.devices), after = Ports(next.devices);
    for (const std::string& port : diff.ports) {
        if (before.count(port) && after.count(port))
            reopened += (reopened.empty() ? "" : ", ") + port;
    }
    if (!reopened.empty()) text += "; reopened " + reopened;
    if (diff.name_changed) text += "; the site's name is now \"" + next.name + "\"";
    if (diff.link_level_changed) {
        const int level = next.lost_communication_level;
        text += level == 0
                    ? "; lost communication raises no alarm now"
                    : "; lost communication raises a level " + std::to_string(level) + " alarm now";
    }
    return "reloaded " + options_.site_path + ": " + text;
}

}  // namespace runner::polling
