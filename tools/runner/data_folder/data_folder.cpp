#include "tools/runner/data_folder/data_folder.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <utility>

#include "tools/alarm_log/alarm_log_file.h"
#include "tools/common/command_line.h"
#include "tools/common/descriptor_io.h"

namespace runner::data_folder {
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

std::string LockPath(const std::string& dir) { return dir + "/battery32-run.lock"; }

// Why the folder cannot be taken: another runner holds it, named by the pid
// in the lock file at `path`.
std::string InUse(const std::string& path, const std::string& advice) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    const std::string holder = fd >= 0 ? Holder(fd) : "pid unknown";
    if (fd >= 0) ::close(fd);
    return "is in use by another battery32-run (" + holder + "); " + advice;
}

// Whether `path` still names the file open at `fd`.
bool StillNamed(int fd, const std::string& path) {
    struct stat named {
    }, held{};
    return ::stat(path.c_str(), &named) == 0 && ::fstat(fd, &held) == 0 &&
           named.st_dev == held.st_dev && named.st_ino == held.st_ino;
}

std::string DeviceFile(const std::string& data_dir, std::uint32_t data_id, const char* kind) {
    return data_dir + "/device-" + std::to_string(data_id) + kind;
}

// Why a folder that does not exist yet cannot be made: the nearest folder
// above it that exists must take new entries. "" when it can be made.
std::string CannotMake(const std::string& dir) {
    std::filesystem::path above = std::filesystem::path(dir).lexically_normal();
    if (!above.has_filename()) above = above.parent_path();  // "data/"
    struct stat st {};
    do {
        above = above.parent_path();
    } while (!above.empty() && ::stat(above.c_str(), &st) != 0 && errno == ENOENT);
    if (above.empty()) above = ".";
    if (::access(above.c_str(), W_OK | X_OK) == 0) return "";
    return "data folder " + dir + " cannot be made (" + above.string() + ": " + ErrnoText() + ")";
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

std::vector<std::string> FolderProblems(const std::string& dir,
                                        const std::vector<std::uint32_t>& data_ids) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return {"data folder " + dir + " cannot be looked at (" + ErrnoText() + ")"};
        const std::string problem = CannotMake(dir);
        if (problem.empty()) return {};
        return {problem};
    }
    if (!S_ISDIR(st.st_mode)) return {"data folder " + dir + " is not a folder"};
    if (::access(dir.c_str(), W_OK | X_OK) != 0)
        return {"data folder " + dir + " cannot be written (" + ErrnoText() + ")"};
    std::vector<std::string> files = {LockPath(dir), alarm_log::LogPath(dir)};
    for (const std::uint32_t id : data_ids) files.push_back(HistoryPath(dir, id));
    std::vector<std::string> problems;
    for (const std::string& file : files) {
        if (::access(file.c_str(), F_OK) != 0 || ::access(file.c_str(), W_OK) == 0) continue;
        problems.push_back("data folder " + dir + ": " + file + " cannot be written (" +
                           ErrnoText() + ")");
    }
    return problems;
}

DataFolderLock::~DataFolderLock() {
    if (fd_ >= 0) ::close(fd_);
    if (dir_fd_ >= 0) ::close(dir_fd_);
}

std::string DataFolderLock::Take(const std::string& dir, const std::string& advice) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) return "data folder " + dir + " cannot be made (" + ec.message() + ")";
    if (std::string error = CheckWritable(dir); !error.empty()) return error;
    dir_ = dir;
    advice_ = advice;
    const int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) return "data folder " + dir + " cannot be opened (" + ErrnoText() + ")";
    if (::flock(dir_fd, LOCK_EX | LOCK_NB) != 0) {
        const std::string why = errno == EWOULDBLOCK ? InUse(LockPath(dir), advice)
                                                     : "cannot be locked (" + ErrnoText() + ")";
        ::close(dir_fd);
        return "data folder " + dir + " " + why;
    }
    dir_fd_ = dir_fd;
    return TakeFile();
}

std::string DataFolderLock::TakeFile() {
    const std::string path = LockPath(dir_);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) return "data folder " + dir_ + ": cannot open " + path + " (" + ErrnoText() + ")";
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const std::string why =
            errno == EWOULDBLOCK ? InUse(path, advice_) : "cannot be locked (" + ErrnoText() + ")";
        ::close(fd);
        return "data folder " + dir_ + " " + why;
    }
    // Should this fail, the lock holds all the same; only the next runner's message loses the pid.
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0) descriptor_io::WriteAll(fd, pid.data(), pid.size());
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    return "";
}

std::string DataFolderLock::Check() {
    if (fd_ < 0 || dir_fd_ < 0) return "";
    if (!StillNamed(dir_fd_, dir_)) {
        if (std::exchange(folder_change_said_, true)) return "";
        return "data folder " + dir_ +
               " was removed or replaced while in use: the lock no longer covers what is there";
    }
    const std::string path = LockPath(dir_);
    if (StillNamed(fd_, path)) return "";
    const std::string error = TakeFile();
    return "data folder " + dir_ + ": its lock file " + path +
           " was removed or replaced; the folder itself stays locked against a second runner" +
           (error.empty() ? ", and the lock file is written anew" : "; " + error);
}

}  // namespace runner::data_folder
