#pragma once
// The program's outlets (tools/common/console/outlet.h) in the loop: an outlet holding
// lines its reader has not taken waits for room to write, and writes them
// when there is. A descriptor that says it has room yet takes nothing is
// given a short rest instead of spinning the loop.

#include <vector>

#include "tools/common/console/outlet.h"
#include "tools/runner/loop/participant.h"

namespace runner::loop {

class OutletDrain : public Participant {
public:
    // Null entries and repeats are left out.
    explicit OutletDrain(const std::vector<console::Outlet*>& outlets);

    void AddWaits(std::vector<pollfd>& fds, Clock::time_point& wake) override;
    void HandleWaits(const pollfd* fds, std::size_t count, Clock::time_point now) override;

private:
    struct Watched {
        console::Outlet* outlet;
        Clock::time_point rest_until;
    };
    std::vector<Watched> watched_;
    std::vector<Watched*> waiting_;  // in the order of this pass's waits
};

}  // namespace runner::loop
