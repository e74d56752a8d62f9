#include "tools/module/half_duplex_line.h"

#include <algorithm>

#include "tools/common/serial_port.h"

namespace module {

HalfDuplexLine::HalfDuplexLine(int baud) : byte_time_(serial_port::ByteTime(baud)) {}

bool HalfDuplexLine::HostBytes(std::size_t count, Clock::time_point now,
                               std::deque<Piece>& pending) {
    // The host's transmitter sends what it is given after what it still sends.
    const Clock::time_point start = std::max(now, host_end_);
    host_end_ = start + byte_time_ * static_cast<long>(count);
    collided_ = start < busy_until_;
    if (collided_) {
        ++collisions_;
        for (Piece& piece : pending) {
            // A piece whose last byte crossed before the clash arrived intact.
            if (piece.due <= start) continue;
            std::fill(piece.bytes.begin() + static_cast<std::ptrdiff_t>(piece.written),
                      piece.bytes.end(), kCorruptByte);
        }
        busy_until_ = std::max(busy_until_, host_end_);
        return false;
    }
    busy_until_ = host_end_;
    if (answer_end_) {
        const Clock::duration idle = start - *answer_end_;
        ++idle_.count;
        idle_.total += idle;
        idle_.longest = std::max(idle_.longest, idle);
        answer_end_.reset();
    }
    return true;
}

void HalfDuplexLine::Echo(Bytes bytes, std::deque<Piece>& pending) const {
    if (bytes.empty()) return;
    if (collided_) std::fill(bytes.begin(), bytes.end(), kCorruptByte);
    Piece piece;
    piece.due = host_end_;
    piece.bytes = std::move(bytes);
    const auto later = std::find_if(pending.begin(), pending.end(),
                                    [&](const Piece& p) { return p.due > piece.due; });
    pending.insert(later, std::move(piece));
}

void HalfDuplexLine::Answer(std::vector<Transmission> answer, std::deque<Piece>& pending) {
    Clock::time_point at = host_end_;  // the command is complete at the module
    for (Transmission& t : answer) {
        at += t.delay;
        const std::size_t size = t.bytes.size();
        // A short answer sits below the FIFO's trigger level and comes whole.
        for (std::size_t first = 0; first < size; first += kPieceBytes) {
            const std::size_t end = std::min(size, first + kPieceBytes);
            Piece piece;
            piece.due = at + byte_time_ * static_cast<long>(end);
            piece.bytes.assign(t.bytes.begin() + static_cast<std::ptrdiff_t>(first),
                               t.bytes.begin() + static_cast<std::ptrdiff_t>(end));
            pending.push_back(std::move(piece));
        }
        at += byte_time_ * static_cast<long>(size);
    }
    busy_until_ = std::max(busy_until_, at);
    if (!answer.empty()) answer_end_ = at;
}

}  // namespace module
