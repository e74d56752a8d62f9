#include "tools/runner/outputs/web/server/work_slice.h"

#include <microhttpd.h>

#include <utility>

namespace runner::outputs {

bool WorkSlice::NewPass(loop::Clock::time_point now) {
    if (now < rest_until_) return false;
    spent_ = 0;
    if (deferred_.empty()) return false;
    // Swapped first: a resumed connection may be put off again in this pass.
    std::swap(resuming_, deferred_);
    for (MHD_Connection* connection : resuming_) MHD_resume_connection(connection);
    resuming_.clear();
    return true;
}

bool WorkSlice::Take(MHD_Connection* connection, std::size_t bytes) {
    if (spent_ < kBytesPerPass) {
        spent_ += bytes;
        return true;
    }
    if (deferred_.empty()) rest_until_ = loop::Clock::now() + kRest;
    MHD_suspend_connection(connection);
    deferred_.push_back(connection);
    return false;
}

}  // namespace runner::outputs
