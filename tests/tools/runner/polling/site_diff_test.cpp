#include "tools/runner/polling/site_diff.h"

#include <gtest/gtest.h>

#include "tools/common/json_input.h"

namespace runner::polling {
namespace {

site::Site Read(const std::vector<std::string>& devices, const std::string& more = "") {
    std::string text = "{" + more + "\"devices\": [";
    for (std::size_t i = 0; i < devices.size(); ++i) text += (i ? ", " : "") + devices[i];
    return site::ReadSite(json_input::ParseText(text + "]}", "site.json"), "site.json");
}

// Device `id` at address id - 1000 on /dev/`port`, with `more` members.
std::string Entry(int id, const std::string& port, const std::string& more = "") {
    return "{\"data_id\": " + std::to_string(id) + ", \"address\": " + std::to_string(id - 1000) +
           ", \"port\": \"/dev/" + port + "\"" + (more.empty() ? "" : ", " + more) + "}";
}

// "added 1004; removed 1003; restarted 1001; unchanged 1002; reopened /dev/a /dev/b"
std::string Text(const SiteDiff& diff) {
    std::string text;
    for (const auto& [what, ids] :
         {std::pair{"added", &diff.added}, std::pair{"removed", &diff.removed},
          std::pair{"restarted", &diff.restarted}, std::pair{"unchanged", &diff.unchanged}}) {
        if (ids->empty()) continue;
        text += (text.empty() ? "" : "; ") + std::string(what);
        for (const std::uint32_t id : *ids) text += " " + std::to_string(id);
    }
    if (!diff.ports.empty()) text += "; reopened";
    for (const std::string& port : diff.ports) text += " " + port;
    return text;
}

constexpr char kNamed[] = R"("name": "A")";
constexpr char kMode[] = R"("settings": {"appSetting": {"b_mode": "1"}})";

TEST(SiteDiff, EachDeviceIsUnchangedAddedRemovedOrRestartedAndOnlyItsPortsReopen) {
    // The site that runs: 1001 alone on /dev/a, 1002 and 1003 sharing /dev/b.
    const std::vector<std::string> running = {Entry(1001, "a", kNamed), Entry(1002, "b", kMode),
                                              Entry(1003, "b")};
    const struct {
        const char* what;
        std::vector<std::string> devices;
        std::string more;  // members before "devices"
        std::string diff;
    } cases[] = {
        {"the same file", running, "", "unchanged 1001 1002 1003"},
        {"entries in another order",
         {running[2], running[0], running[1]},
         "",
         "unchanged 1003 1001 1002"},
        {"a name changed",
         {Entry(1001, "a", R"("name": "A2")"), running[1], running[2]},
         "",
         "restarted 1001; unchanged 1002 1003; reopened /dev/a"},
        {"settings given, one removed, one added on a new port",
         {Entry(1001, "a", std::string(kNamed) + ", " + kMode), running[1], Entry(1004, "c")},
         "",
         "added 1004; removed 1003; restarted 1001; unchanged 1002; reopened /dev/a /dev/b /dev/c"},
        {"moved to another port: both reopen",
         {running[0], Entry(1002, "a", kMode), running[2]},
         "",
         "restarted 1002; unchanged 1001 1003; reopened /dev/a /dev/b"},
        {"a port's own settings changed", running, R"("ports": {"/dev/b": {"echo": true}},)",
         "unchanged 1001 1002 1003; reopened /dev/b"},
        {"a port given its default settings", running, R"("ports": {"/dev/b": {"echo": "auto"}},)",
         "unchanged 1001 1002 1003"},
    };
    for (const auto& c : cases) {
        const SiteDiff diff = CompareSites(Read(running), Read(c.devices, c.more));
        EXPECT_EQ(Text(diff), c.diff) << c.what;
        EXPECT_FALSE(diff.name_changed || diff.link_level_changed) << c.what;
    }
    const SiteDiff top = CompareSites(
        Read(running), Read(running, R"("name": "south", "lost_communication_level": 0,)"));
    EXPECT_TRUE(top.name_changed && top.link_level_changed);
    EXPECT_EQ(Text(top), "unchanged 1001 1002 1003");
}

}  // namespace
}  // namespace runner::polling
