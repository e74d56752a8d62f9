// The site file: whatever a person writes (or a disk garbles), reading it must
// end in a site or in one InputError line naming the file, never in another
// exception, a crash or a hang. A site that is accepted holds only what the
// runner relies on: distinct non-zero data ids, partners that are other
// devices of the same site.
//
// Input: the file's text.

#include <cstdint>
#include <set>
#include <string>

#include "fuzz/fuzz_support.h"
#include "tools/common/json_input.h"
#include "tools/runner/line/poll_order.h"
#include "tools/runner/site/site.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    runner::site::Site site;
    try {
        site = runner::site::ReadSite(json_input::ParseText(text, "site.json"), "site.json");
    } catch (const json_input::InputError& e) {
        const std::string line = e.what();
        FUZZ_CHECK(line.rfind("site.json: ", 0) == 0);
        FUZZ_CHECK(line.find('\n') == std::string::npos);
        return 0;
    }
    FUZZ_CHECK(!site.devices.empty());
    for (const std::string& warning : site.warnings) {
        FUZZ_CHECK(warning.rfind("site.json: ", 0) == 0);
        FUZZ_CHECK(warning.find('\n') == std::string::npos);
    }
    std::set<std::uint32_t> ids;
    for (const auto& d : site.devices) {
        FUZZ_CHECK(d.data_id != 0);
        FUZZ_CHECK(ids.insert(d.data_id).second);
        FUZZ_CHECK(!d.port.empty());
    }
    std::vector<std::size_t> all;
    for (std::size_t i = 0; i < site.devices.size(); ++i) {
        for (std::uint32_t partner : site.devices[i].partners) {
            FUZZ_CHECK(partner != site.devices[i].data_id);
            FUZZ_CHECK(ids.count(partner) == 1);
        }
        all.push_back(i);
    }
    FUZZ_CHECK(runner::line::PollOrder(site.devices, all).size() == all.size());
    return 0;
}
