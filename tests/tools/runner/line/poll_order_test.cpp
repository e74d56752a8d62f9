#include "tools/runner/line/poll_order.h"

#include <gtest/gtest.h>

namespace runner::line {
namespace {

// A device as the order sees it: its data id and the partners it adds.
struct Entry {
    std::uint32_t data_id = 0;
    std::vector<std::uint32_t> partners;
};

Entry Device(std::uint32_t id, std::vector<std::uint32_t> partners = {}) {
    return Entry{id, std::move(partners)};
}

TEST(PollOrder, PartnersGoFirstOtherwiseFileOrder) {
    struct Case {
        const char* name;
        std::vector<Entry> devices;
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
}  // namespace runner::line
