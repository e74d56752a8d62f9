#include "tools/runner/outputs/data_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "tools/common/command_line.h"
#include "tools/common/descriptor_io.h"

namespace runner::outputs {
namespace {

using descriptor_io::ErrnoText;

// A file made and removed: the lock file may exist already in a folder that
// no longer takes new files (read-only mount, full inode table, lost rights).
std::string CheckWritable(const std::string& dir) {
    std::string probe = dir + "/.write-test-XXXXXX";
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) return "data folder " + dir + " cannot be written (" + ErrnoText() + ")";
    ::close(fd);
    ::unlink(probe.c_str());
    return "";
}

// The pid the holder wrote into the lock file: its digits and a line end.
std::string Holder(int fd) {
    char text[32];
    const ssize_t n = ::pread(fd, text, sizeof text, 0);
    const std::string_view line(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    const auto pid = command_line::ParseInteger(line.substr(0, line.find('\n')), 1, INT32_MAX);
    return pid ? "pid " + std::to_string(*pid) : "pid unknown";
}

std::string DeviceFile(const std::string& data_dir, std::uint32_t data_id, const char* kind) {
    return data_dir + "/device-" + std::to_string(data_id) + kind;
}

}  // namespace

std::string HistoryPath(const std::string& data_dir, std::uint32_t data_id) {
    return DeviceFile(data_dir, data_id, ".history");
}

std::string CachePath(const std::string& data_dir, std::uint32_t data_id) {
    return DeviceFile(data_dir, data_id, ".cache");
}

std::string EnergyPath(const std::string& data_dir, std::uint32_t data_id) {
    return DeviceFile(data_dir, data_id, ".energy");
}

DataFolderLock::~DataFolderLock() {
    if (fd_ >= 0) ::close(fd_);
}

std::string DataFolderLock::Take(const std::string& dir, const std::string& advice) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return "data folder " + dir + " cannot be made (" + ec.message() + ")";
    if (std::string error = CheckWritable(dir); !error.empty()) return error;
    const std::string path = dir + "/battery32-run.lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return "data folder " + dir + ": cannot open " + path + " (" + ErrnoText() + ")";
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const std::string why = errno == EWOULDBLOCK ? "is in use by another battery32-run (" +
                                                           Holder(fd) + "); " + advice
                                                     : "cannot be locked (" + ErrnoText() + ")";
        ::close(fd);
        return "data folder " + dir + " " + why;
    }
    // Should this fail, the lock holds all the same; only the next runner's message loses the pid.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) descriptor_io::WriteAll(fd, pid.data(), pid.size());
    fd_ = fd;
    return "";
}

}  // namespace runner::outputs
