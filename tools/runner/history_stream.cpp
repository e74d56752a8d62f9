#include "tools/runner/history_stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "tools/record/record_format.h"
#include "tools/record/record_image.h"
#include "tools/runner/web_api.h"

namespace runner::web {
namespace {

// Records read per piece: about 39 KiB.
constexpr std::size_t kRecordsPerPiece = 256;

}  // namespace

HistoryStream::HistoryStream(const std::string& path, std::size_t record_size, HistoryQuery query)
    : record_size_(record_size), query_(query) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

HistoryStream::~HistoryStream() {
    if (fd_ >= 0) ::close(fd_);
}

void HistoryStream::Produce() {
    if (!opened_) {
        pending_ = "[";
        opened_ = true;
    }
    if (fd_ < 0) {
        pending_ += "]\n";
        closed_ = true;
        return;
    }
    std::vector<std::uint8_t> chunk(record_size_ * kRecordsPerPiece);
    ssize_t got;
    do {
        got = ::read(fd_, chunk.data(), chunk.size());
    } while (got < 0 && errno == EINTR);
    // Whole records only; a partial one at the end (a torn write) is left out.
    const std::size_t whole = got > 0 ? static_cast<std::size_t>(got) / record_size_ : 0;
    if (got > 0 && static_cast<std::size_t>(got) % record_size_ != 0) {
        // A short read that cut a record: step back to its start for the next piece.
        ::lseek(fd_, -static_cast<off_t>(static_cast<std::size_t>(got) % record_size_), SEEK_CUR);
    }
    for (std::size_t i = 0; i < whole; ++i) {
        const auto record =
            record_tools::DecodeRecord(chunk.data() + i * record_size_, record_size_);
        if (!record) continue;
        const std::int64_t key = StampKey(record->timestamp);
        if (key < query_.from_key || key > query_.to_key) continue;
        if (in_range_++ % query_.step != 0) continue;
        pending_ += first_ ? "\n" : ",\n";
        first_ = false;
        pending_ += record_tools::JsonLine(*record, std::nullopt, std::nullopt);
    }
    if (whole == 0) {
        pending_ += "\n]\n";
        closed_ = true;
    } else if (pending_.empty()) {
        pending_ = "\n";
    }
}

std::size_t HistoryStream::Read(char* out, std::size_t max) {
    if (sent_ == pending_.size()) {
        if (closed_) return 0;
        pending_.clear();
        sent_ = 0;
        Produce();
    }
    const std::size_t n = std::min(max, pending_.size() - sent_);
    std::memcpy(out, pending_.data() + sent_, n);
    sent_ += n;
    return n;
}

}  // namespace runner::web
