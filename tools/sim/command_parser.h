#pragma once
// Finds command frames in the byte stream a module hears. Bytes arrive in any
// chunking; line noise and frames with a bad sum are skipped one byte at a time
// so that a real frame right behind them is still found.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace module_sim {

struct Command {
    std::uint8_t address = 0;
    std::uint8_t code = 0;
};

class CommandParser {
public:
    // Appends the bytes and returns every complete, well-formed command they finish.
    std::vector<Command> Feed(const std::uint8_t* data, std::size_t length);

    // Frames that had the lead bytes but a wrong sum, since construction.
    std::uint64_t bad_frames() const { return bad_frames_; }
    // Bytes skipped while looking for a lead (noise), since construction.
    std::uint64_t skipped_bytes() const { return skipped_bytes_; }

private:
    std::vector<std::uint8_t> pending_;
    std::uint64_t bad_frames_ = 0;
    std::uint64_t skipped_bytes_ = 0;
};

}  // namespace module_sim
