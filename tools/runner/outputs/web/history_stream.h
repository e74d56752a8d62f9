#pragma once
// One device's history between two times as a JSON array, produced a piece at
// a time from the file: the whole file is never held in memory, and each piece
// reads a bounded number of records so a long file cannot stall the poll loop.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "tools/record/history_file.h"

namespace runner::outputs {

struct HistoryQuery {
    std::int64_t from_key = INT64_MIN;  // StampKey, inclusive
    std::int64_t to_key = INT64_MAX;    // StampKey, inclusive
    std::uint64_t step = 1;             // every step-th record in range
};

class HistoryStream {
public:
    // A missing or unreadable file streams an empty array.
    HistoryStream(const std::string& path, HistoryQuery query);

    // Copies up to `max` bytes of the answer into `out`: > 0 bytes written,
    // 0 at the end. Never returns 0 before the end (a stretch without matches
    // gives a line break, which JSON allows between values).
    std::size_t Read(char* out, std::size_t max);

private:
    void Produce();

    std::optional<record::HistoryReader> reader_;
    HistoryQuery query_;
    std::uint64_t in_range_ = 0;
    bool closed_ = false;  // the closing bracket is in pending_
    std::string pending_ = "[";
    std::size_t sent_ = 0;
};

}  // namespace runner::outputs
