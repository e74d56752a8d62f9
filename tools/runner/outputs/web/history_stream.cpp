#include "tools/runner/outputs/web/history_stream.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "tools/record/record_format.h"
#include "tools/runner/outputs/web/web_api.h"

namespace runner::outputs {

// Records read per piece: about 5 KiB of the file, 20 KiB of JSON, a small
// part of a pass's slice (work_slice.h).
constexpr std::size_t kRecordsPerPiece = 32;

HistoryStream::HistoryStream(const std::string& path, HistoryQuery query) : query_(query) {
    try {
        reader_.emplace(path, record::kRecordSize);
    } catch (const std::runtime_error&) {
        pending_ += "]\n";
        closed_ = true;
    }
}

void HistoryStream::Produce() {
    const std::uint8_t* image = nullptr;
    try {
        for (std::size_t n = 0; n < kRecordsPerPiece && (image = reader_->Next()) != nullptr; ++n) {
            const auto record = record::DecodeRecord(image, record::kRecordSize);
            const std::int64_t key = StampKey(record->timestamp);
            if (key < query_.from_key || key > query_.to_key) continue;
            const std::uint64_t index = in_range_++;
            if (index % query_.step != 0) continue;
            pending_ += index == 0 ? "\n" : ",\n";
            pending_ += record::JsonLine(*record, std::nullopt, std::nullopt,
                                         record::TimeForm::kWithOffset);
        }
    } catch (const std::runtime_error&) {
        image = nullptr;  // a failed read ends the answer
    }
    if (image == nullptr) {
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

}  // namespace runner::outputs
