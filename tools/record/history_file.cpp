#include "tools/record/history_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "tools/common/descriptor_io.h"

namespace record {
namespace {

// Off_t is 64-bit on every target (_FILE_OFFSET_BITS=64); make sure of it here,
// where a narrower one would cut a large history short.
static_assert(sizeof(off_t) == 8, "history files need 64-bit file offsets");

using descriptor_io::ErrnoText;

// The rename is only durable once the directory itself is synced.
void SyncDirectoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

HistoryReader::HistoryReader(const std::string& path, std::size_t record_size)
    : path_(path), record_(record_size), file_(std::fopen(path.c_str(), "rbe"), &std::fclose) {
    if (!file_) throw std::runtime_error(path + ": cannot open (" + ErrnoText() + ")");
    struct stat st {};
    if (::fstat(::fileno(file_.get()), &st) != 0)
        throw std::runtime_error(path + ": " + ErrnoText());
    if (S_ISDIR(st.st_mode))
        throw std::runtime_error(path + ": is a directory, not a history file");
}

const std::uint8_t* HistoryReader::Next() {
    const std::size_t got = std::fread(record_.data(), 1, record_.size(), file_.get());
    if (got == record_.size()) {
        ++records_;
        return record_.data();
    }
    if (std::ferror(file_.get())) {
        throw std::runtime_error(path_ + ": read failed after record " + std::to_string(records_) +
                                 " (" + ErrnoText() + ")");
    }
    trailing_ = got;
    return nullptr;
}

std::optional<std::vector<std::uint8_t>> ReadLastRecord(const std::string& path,
                                                        std::size_t record_size) {
    const std::unique_ptr<std::FILE, decltype(&std::fclose)> file(std::fopen(path.c_str(), "rbe"),
                                                                  &std::fclose);
    if (!file) {
        if (errno == ENOENT) return std::nullopt;
        throw std::runtime_error(path + ": cannot open (" + ErrnoText() + ")");
    }
    struct stat st {};
    if (::fstat(::fileno(file.get()), &st) != 0)
        throw std::runtime_error(path + ": " + ErrnoText());
    const std::uint64_t whole = static_cast<std::uint64_t>(st.st_size) / record_size;
    if (whole == 0) return std::nullopt;
    std::vector<std::uint8_t> record(record_size);
    if (::fseeko(file.get(), static_cast<off_t>((whole - 1) * record_size), SEEK_SET) != 0 ||
        std::fread(record.data(), 1, record_size, file.get()) != record_size) {
        throw std::runtime_error(path + ": cannot read the last record");
    }
    return record;
}

HistoryWriter::HistoryWriter(std::string path, std::size_t record_size, bool sync_each_record)
    : path_(std::move(path)), record_size_(record_size), sync_each_record_(sync_each_record) {}

HistoryWriter::~HistoryWriter() { Close(); }

std::string HistoryWriter::Open(std::size_t* cut_bytes) {
    Close();
    if (cut_bytes != nullptr) *cut_bytes = 0;
    fd_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return ErrnoText();
    const auto fail = [this](std::string why) {
        Close();
        return why;
    };
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return fail(ErrnoText());
    const std::uint64_t partial = static_cast<std::uint64_t>(st.st_size) % record_size_;
    if (partial != 0 && ::ftruncate(fd_, static_cast<off_t>(st.st_size - partial)) != 0) {
        return fail("cannot cut a partial record: " + ErrnoText());
    }
    if (cut_bytes != nullptr) *cut_bytes = static_cast<std::size_t>(partial);
    device_ = st.st_dev;
    inode_ = st.st_ino;
    return "";
}

std::string HistoryWriter::Append(const std::uint8_t* data, std::size_t length) {
    if (fd_ < 0) return "not open";
    if (data == nullptr || length != record_size_) {
        return "refused a " + std::to_string(length) + "-byte record (expected " +
               std::to_string(record_size_) + ")";
    }
    struct stat st {};
    const bool sized = ::fstat(fd_, &st) == 0;
    ssize_t n;
    do {
        n = ::write(fd_, data, length);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(length)) {
        if (sync_each_record_ && ::fdatasync(fd_) != 0) return "sync failed: " + ErrnoText();
        return "";
    }
    const std::string reason = n < 0 ? ErrnoText() : "short write (disk full?)";
    // Take back a partial record so that the next one still starts on a boundary.
    if (n > 0 && sized) {
        if (::ftruncate(fd_, st.st_size) != 0) return reason + "; partial record left behind";
    }
    return reason;
}

bool HistoryWriter::StillAtPath() const {
    if (fd_ < 0) return false;
    struct stat st {};
    if (::stat(path_.c_str(), &st) != 0) return false;
    return st.st_dev == device_ && st.st_ino == inode_;
}

void HistoryWriter::Close() {
    if (fd_ < 0) return;
    ::fdatasync(fd_);
    ::close(fd_);
    fd_ = -1;
}

std::string WriteCacheFile(const std::string& path, const std::uint8_t* data, std::size_t length) {
    return ReplaceFile(path, path + ".new", data, length, true);
}

std::string ReplaceFile(const std::string& path, const std::string& fresh, const void* data,
                        std::size_t length, bool sync) {
    const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return "cannot create " + fresh + ": " + ErrnoText();
    std::string error;
    errno = 0;
    if (!descriptor_io::WriteAll(fd, data, length))
        error = "cannot write " + fresh + ": " + (errno ? ErrnoText() : "short write");
    else if (sync && ::fdatasync(fd) != 0)
        error = "cannot sync " + fresh + ": " + ErrnoText();
    if (::close(fd) != 0 && error.empty()) error = "cannot write " + fresh + ": " + ErrnoText();
    if (error.empty() && ::rename(fresh.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + fresh + ": " + ErrnoText();
    }
    if (!error.empty()) {
        ::unlink(fresh.c_str());
        return error;
    }
    if (sync) SyncDirectoryOf(path);
    return "";
}

}  // namespace record
