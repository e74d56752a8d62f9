#include "tools/runner/line/echo_filter.h"

#include <algorithm>

#include "battery/protocol.h"

namespace runner::line {

bool EchoFilter::Sent(const std::uint8_t* data, std::size_t length) {
    if (mode_ == EchoMode::kOff || data == nullptr) return false;
    // Part of an echo came and the rest never did.
    const bool cut_short = due_ > 0 && due_ < length_;
    length_ = std::min(length, kMaxEcho);
    std::copy(data, data + length_, sent_.begin());
    due_ = length_;
    mismatch_ = false;
    return cut_short;
}

EchoFilter::Taken EchoFilter::Take(const std::uint8_t* data, std::size_t length) {
    Taken taken;
    std::size_t i = 0;
    for (; due_ > 0 && i < length; ++i) {
        const std::size_t at = length_ - due_;
        const std::uint8_t byte = data[i];
        // The head of what came back decides whether it is an echo at all.
        if (at == 0 && byte != sent_[0] && (!echoing_ || byte == battery_protocol::kReplyLead)) {
            due_ = 0;
            break;
        }
        heard_[at] = byte;
        mismatch_ = mismatch_ || byte != sent_[at];
        if (--due_ > 0) continue;
        taken.garbled = mismatch_;
        taken.first_echo = !mismatch_ && !echoing_;
        echoing_ = echoing_ || !mismatch_;
    }
    taken.echo_bytes = i;
    return taken;
}

}  // namespace runner::line
