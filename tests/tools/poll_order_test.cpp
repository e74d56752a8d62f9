#include "tools/runner/poll_order.h"

#include <gtest/gtest.h>

namespace runner {
namespace {

SiteDevice Device(std::uint32_t id, std::vector<std::uint32_t> partners = {}) {
    SiteDevice d;
    d.data_id = id;
    d.partners = std::move(partners);
    return d;
}

TEST(PollOrder, PartnersGoFirstOtherwiseFileOrder) {
    struct Case {
        const char* name;
        std::vector<SiteDevice> devices;
        std::vector<std::size_t> subset;
        std::vector<std::size_t> expected;
    };
    const std::vector<Case> cases = {
        {"no partners", {Device(1), Device(2), Device(3)}, {0, 1, 2}, {0, 1, 2}},
        {"partner listed later", {Device(1, {2}), Device(2)}, {0, 1}, {1, 0}},
        {"chain", {Device(1, {2}), Device(2, {3}), Device(3)}, {0, 1, 2}, {2, 1, 0}},
        {"partner on another line", {Device(1, {2}), Device(2), Device(3)}, {0, 2}, {0, 2}},
        {"loop keeps file order",
         {Device(1, {2}), Device(2, {1}), Device(3)},
         {0, 1, 2},
         {2, 0, 1}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PollOrder(c.devices, c.subset), c.expected) << c.name;
    }
}

}  // namespace
}  // namespace runner
