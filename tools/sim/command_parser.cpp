#include "tools/sim/command_parser.h"

#include "tools/sim/module_wire.h"

namespace module_sim {

std::vector<Command> CommandParser::Feed(const std::uint8_t* data, std::size_t length) {
    std::vector<Command> found;
    if (data != nullptr) pending_.insert(pending_.end(), data, data + length);

    std::size_t pos = 0;
    while (pending_.size() - pos >= kCommandLength) {
        const std::uint8_t* f = &pending_[pos];
        if (f[0] != kCommandLead || f[1] != kCommandLead) {
            ++skipped_bytes_;
            ++pos;
            continue;
        }
        if (WireSum(f + 2, 2) != f[4]) {
            ++bad_frames_;
            ++pos;
            continue;
        }
        found.push_back(Command{f[2], f[3]});
        pos += kCommandLength;
    }
    // A tail shorter than a frame is kept only from its first possible lead on.
    while (pos < pending_.size() && pending_[pos] != kCommandLead) {
        ++skipped_bytes_;
        ++pos;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pos));
    return found;
}

}  // namespace module_sim
