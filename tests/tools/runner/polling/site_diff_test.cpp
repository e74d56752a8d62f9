#include "tools/runner/polling/site_diff.h"

#include <gtest/gtest.h>

#include "tools/common/json_input.h"

namespace runner::polling {
namespace {

using host::ReadSite;
using host::Site;

Site Read(const std::string& devices, const std::string& more = "") {
    const std::string text = "{" + more + "\"devices\": [" + devices + "]}";
    return ReadSite(json_input::ParseText(text, "site.json"), "site.json");
}

using Ids = std::vector<std::uint32_t>;

// The site that runs: 1001 alone on /dev/a, 1002 and 1003 sharing /dev/b.
constexpr char kRunning[] =
    R"({"data_id": 1001, "address": 1, "port": "/dev/a", "name": "A"},
       {"data_id": 1002, "address": 2, "port": "/dev/b", "settings": {"appSetting": {"b_mode": "1"}}},
       {"data_id": 1003, "address": 3, "port": "/dev/b"})";

TEST(SiteDiff, EachDeviceIsUnchangedAddedRemovedOrRestartedAndOnlyItsPortsReopen) {
    const struct {
        const char* what;
        std::string devices;
        std::string more;  // members before "devices"
        Ids added, removed, restarted, unchanged;
        std::set<std::string> ports;
    } cases[] = {
        {"the same file", kRunning, "", {}, {}, {}, {1001, 1002, 1003}, {}},
        {"entries in another order",
         R"({"data_id": 1003, "address": 3, "port": "/dev/b"},
            {"data_id": 1001, "address": 1, "port": "/dev/a", "name": "A"},
            {"data_id": 1002, "address": 2, "port": "/dev/b",
             "settings": {"appSetting": {"b_mode": "1"}}})",
         "",
         {},
         {},
         {},
         {1003, 1001, 1002},
         {}},
        {"a name changed",
         R"({"data_id": 1001, "address": 1, "port": "/dev/a", "name": "A2"},
            {"data_id": 1002, "address": 2, "port": "/dev/b",
             "settings": {"appSetting": {"b_mode": "1"}}},
            {"data_id": 1003, "address": 3, "port": "/dev/b"})",
         "",
         {},
         {},
         {1001},
         {1002, 1003},
         {"/dev/a"}},
        {"settings given, one removed, one added on a new port",
         R"({"data_id": 1001, "address": 1, "port": "/dev/a", "name": "A",
             "settings": {"appSetting": {"b_mode": "1"}}},
            {"data_id": 1002, "address": 2, "port": "/dev/b",
             "settings": {"appSetting": {"b_mode": "1"}}},
            {"data_id": 1004, "address": 4, "port": "/dev/c"})",
         "",
         {1004},
         {1003},
         {1001},
         {1002},
         {"/dev/a", "/dev/b", "/dev/c"}},
        {"moved to another port: both reopen",
         R"({"data_id": 1001, "address": 1, "port": "/dev/a", "name": "A"},
            {"data_id": 1002, "address": 2, "port": "/dev/a",
             "settings": {"appSetting": {"b_mode": "1"}}},
            {"data_id": 1003, "address": 3, "port": "/dev/b"})",
         "",
         {},
         {},
         {1002},
         {1001, 1003},
         {"/dev/a", "/dev/b"}},
        {"a port's own settings changed",
         kRunning,
         R"("ports": {"/dev/b": {"echo": true}},)",
         {},
         {},
         {},
         {1001, 1002, 1003},
         {"/dev/b"}},
        {"a port given its default settings",
         kRunning,
         R"("ports": {"/dev/b": {"echo": "auto"}},)",
         {},
         {},
         {},
         {1001, 1002, 1003},
         {}},
    };
    const Site running = Read(kRunning);
    for (const auto& c : cases) {
        const SiteDiff diff = CompareSites(running, Read(c.devices, c.more));
        EXPECT_EQ(diff.added, c.added) << c.what;
        EXPECT_EQ(diff.removed, c.removed) << c.what;
        EXPECT_EQ(diff.restarted, c.restarted) << c.what;
        EXPECT_EQ(diff.unchanged, c.unchanged) << c.what;
        EXPECT_EQ(diff.ports, c.ports) << c.what;
        EXPECT_FALSE(diff.name_changed || diff.link_level_changed) << c.what;
    }
    const SiteDiff top = CompareSites(running, Read(kRunning, R"("name": "south",
                                                                 "lost_communication_level": 0,)"));
    EXPECT_TRUE(top.name_changed && top.link_level_changed);
    EXPECT_TRUE(top.ports.empty() && top.unchanged.size() == 3u);
}

}  // namespace
}  // namespace runner::polling
