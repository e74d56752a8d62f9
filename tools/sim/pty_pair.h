#pragma once
// A pseudo-terminal pair standing in for a serial cable: the simulator works
// the master end, the host opens the slave by its path like any serial port.
// The slave is put in raw mode, and one slave descriptor is kept open here so
// the master never sees a hang-up while the host closes and reopens the port.

#include <string>
#include <vector>

namespace sim {

class PtyPair {
public:
    // Throws std::system_error when no pseudo-terminal can be had.
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    int master_fd() const { return master_; }
    const std::string& slave_path() const { return slave_path_; }
    // Closes both ends: the slave path disappears and the host's port fails,
    // as when a USB adapter is pulled.
    void Close();
    // Every descriptor held here, e.g. to close in a forked child.
    std::vector<int> descriptors() const { return {master_, slave_keepalive_}; }

private:
    int master_ = -1;
    int slave_keepalive_ = -1;
    std::string slave_path_;
};

// Makes `link` a symbolic link to `target`. An existing symbolic link there is
// replaced; anything else (a file the user keeps, a directory) is left alone.
// Returns "" on success, else one line saying why not.
std::string LinkPath(const std::string& target, const std::string& link);

}  // namespace sim
