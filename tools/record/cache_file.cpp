#include "tools/record/cache_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/common/descriptor_io.h"

namespace record_tools {
namespace {

using descriptor_io::ErrnoText;
using descriptor_io::WriteAll;

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

std::string WriteCacheFile(const std::string& path, const std::uint8_t* data, std::size_t length) {
    const std::string fresh = path + ".new";
    const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return "cannot create " + fresh + ": " + ErrnoText();
    std::string error;
    if (!WriteAll(fd, data, length))
        error = "cannot write " + fresh + ": " + (errno ? ErrnoText() : "short write");
    else if (::fdatasync(fd) != 0)
        error = "cannot sync " + fresh + ": " + ErrnoText();
    if (::close(fd) != 0 && error.empty()) error = "cannot write " + fresh + ": " + ErrnoText();
    if (error.empty() && ::rename(fresh.c_str(), path.c_str()) != 0) {
        error = "cannot rename " + fresh + ": " + ErrnoText();
    }
    if (!error.empty()) {
        ::unlink(fresh.c_str());
        return error;
    }
    SyncDirectoryOf(path);
    return "";
}

}  // namespace record_tools
