#pragma once
// A device's record files. Its history holds its records one after another,
// nothing else, so the file is a plain array of fixed-size images. Sizes and
// offsets are 64-bit on every target: a history at one record a second passes
// 4 GiB within a year.
//
// Torn records: every record goes out in one write() on a descriptor opened
// with O_APPEND, so another process or a crash of this one (Ctrl-C, kill -9)
// leaves either the whole record or none of it. A power loss can still cut the
// tail short; readers ignore a trailing partial record, and opening for append
// cuts it off first so that later records stay on record boundaries.
//
// Durability: with sync_each_record the data is fdatasync()ed after every
// record (safe against power loss, costly on flash); otherwise the kernel writes
// it back on its own schedule and the file is synced when it is closed.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace record {

// Reads a history front to back through stdio's fixed buffer, so memory stays
// the same whatever the file's size. Works on pipes too.
class HistoryReader {
public:
    // Throws std::runtime_error "PATH: reason" when the file cannot be opened
    // or is a directory.
    HistoryReader(const std::string& path, std::size_t record_size);

    // The next whole record (valid until the next call), or nullptr at the end.
    // Throws std::runtime_error when a read fails.
    const std::uint8_t* Next();
    // Bytes of a partial record at the end; known once Next() returned nullptr.
    std::size_t trailing_bytes() const { return trailing_; }

private:
    std::string path_;
    std::vector<std::uint8_t> record_;
    std::unique_ptr<std::FILE, decltype(&std::fclose)> file_;
    std::size_t trailing_ = 0;
    std::uint64_t records_ = 0;
};

// The last whole record, or nothing for a missing file or one without a whole
// record. Reads only the tail of the file. Throws std::runtime_error when the
// file exists but cannot be read.
std::optional<std::vector<std::uint8_t>> ReadLastRecord(const std::string& path,
                                                        std::size_t record_size);

class HistoryWriter {
public:
    HistoryWriter(std::string path, std::size_t record_size, bool sync_each_record);
    ~HistoryWriter();
    HistoryWriter(const HistoryWriter&) = delete;
    HistoryWriter& operator=(const HistoryWriter&) = delete;

    // Opens (creating) the file and cuts off a trailing partial record.
    // Returns "" on success, else the reason. `cut_bytes` tells how much was cut.
    std::string Open(std::size_t* cut_bytes = nullptr);
    // Appends one record; "" on success, else the reason. A record of the
    // wrong size is refused. A short write is undone so the file stays whole.
    std::string Append(const std::uint8_t* data, std::size_t length);
    // Whether the path still names the open file (not removed, not replaced).
    bool StillAtPath() const;
    void Close();
    bool is_open() const { return fd_ >= 0; }

private:
    std::string path_;
    std::size_t record_size_;
    bool sync_each_record_;
    int fd_ = -1;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

// A device's cache: its last record, kept for restarts in a file of its own.
// It is replaced atomically: written beside, synced, then renamed over the old
// one, so a crash or a power loss leaves either the old record or the new one.
// "" on success, else the reason. The old file is untouched on failure.
std::string WriteCacheFile(const std::string& path, const std::uint8_t* data, std::size_t length);

// Replaces `path` with `length` bytes of `data`: written to `fresh` beside it,
// then renamed over it, so that a crash of the program leaves the old content
// or the new, never a mix. With `sync` the new file is synced before the
// rename and the folder after it, which makes that hold through a power loss.
// "" on success, else the reason; the old file is untouched on failure.
// Allocates nothing unless it fails.
std::string ReplaceFile(const std::string& path, const std::string& fresh, const void* data,
                        std::size_t length, bool sync);

}  // namespace record
