#pragma once
// The web view's share of one pass of the runner's loop. Long answers (a
// history of months, for several clients at once) are produced a slice at a
// time: each pass hands out at most a fixed number of bytes of them, and a
// connection that wants more once the slice is spent is suspended until the
// next pass. So a pass stays short however much is asked, and the serial
// lines are served between slices instead of after whole answers. After a
// slice is spent, the next one waits a little: long answers take a bounded
// share of the runner's time (and of a small controller's processor), and
// the loop sleeps between slices instead of spinning.

#include <chrono>
#include <cstddef>
#include <vector>

#include "tools/runner/loop/participant.h"

struct MHD_Connection;

namespace runner::outputs {

class WorkSlice {
public:
    // Bytes of long answers per pass: about a hundred history records,
    // well under a millisecond of work.
    static constexpr std::size_t kBytesPerPass = 64 * 1024;
    // The pause after a spent slice before the next.
    static constexpr auto kRest = std::chrono::milliseconds(2);

    // A new pass at `now`: once the rest after a spent slice is over, the
    // whole slice is there again and the connections put off are resumed.
    // True when any was (the server must run now to pick them up).
    bool NewPass(loop::Clock::time_point now);
    // Takes `bytes` of this pass's slice for `connection`; false when it is
    // spent, the connection then suspended until the next pass (its content
    // reader must return 0).
    bool Take(MHD_Connection* connection, std::size_t bytes);
    // Resumes every connection put off, so that the server can stop.
    void ResumeAll() { NewPass(loop::Clock::time_point::max()); }
    // When the connections put off go on; max when there are none.
    loop::Clock::time_point next() const {
        return deferred_.empty() ? loop::Clock::time_point::max() : rest_until_;
    }

private:
    std::size_t spent_ = 0;
    loop::Clock::time_point rest_until_{};
    std::vector<MHD_Connection*> deferred_;
    std::vector<MHD_Connection*> resuming_;
};

}  // namespace runner::outputs
