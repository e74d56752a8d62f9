#pragma once
// The data folder (--data): the names of the files the runner keeps there,
// and its lock.
//
// One runner per data folder: two appending to the same history files would
// interleave their records. The lock is flock() on the folder itself, which
// nobody can remove while it holds files, and on DIR/battery32-run.lock, as
// runners before the folder lock took it; both are held for the whole run and
// released by the kernel however the runner ends. The file holds the holder's
// process id, for the message of the next one. A lock file removed or
// replaced while the runner runs is noticed, said and written anew.

#include <cstdint>
#include <string>
#include <vector>

namespace runner::data_folder {

// DIR/device-<data id>.history: every record kept, one after another.
std::string HistoryPath(const std::string& data_dir, std::uint32_t data_id);
// DIR/device-<data id>.cache: the newest record, for restarts.
std::string CachePath(const std::string& data_dir, std::uint32_t data_id);
// DIR/device-<data id>.energy: the device's energy counters.
std::string EnergyPath(const std::string& data_dir, std::uint32_t data_id);

// What would keep a run with these devices from keeping its files in `dir`,
// found out without making, locking or writing anything: the folder (or, when
// it is still to be made, the one it would be made in) must take new files,
// and each file there that a run appends to or rewrites in place (the lock
// file, the devices' histories, the alarm log) must be writable by this user.
// One line each; none when all is well.
std::vector<std::string> FolderProblems(const std::string& dir,
                                        const std::vector<std::uint32_t>& data_ids);

class DataFolderLock {
public:
    DataFolderLock() = default;
    ~DataFolderLock();
    DataFolderLock(const DataFolderLock&) = delete;
    DataFolderLock& operator=(const DataFolderLock&) = delete;

    // Makes the folder if needed, checks that files can be made in it and
    // takes the lock. "" on success, else one line saying what is wrong;
    // `advice` ends the line when another runner holds the lock.
    std::string Take(
        const std::string& dir,
        const std::string& advice = "one runner per data folder, or give another --data");
    // Whether the lock file and the folder are still the ones locked. When
    // not: "" once everything is as it should be again, else one line
    // saying what happened, to be said once.
    std::string Check();

private:
    // Opens, locks and writes the lock file; "" or why not.
    std::string TakeFile();

    std::string dir_;
    std::string advice_;
    int dir_fd_ = -1;
    int fd_ = -1;
    bool folder_change_said_ = false;
};

}  // namespace runner::data_folder
