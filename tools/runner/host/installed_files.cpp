#include "tools/runner/host/installed_files.h"

#include <unistd.h>

#include <filesystem>
#include <vector>

namespace runner::host {
namespace {

// The folder the running program lies in; empty when /proc does not say.
std::filesystem::path ProgramFolder() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::filesystem::path() : self.parent_path();
}

// The first of `candidates` that can be read; else the first one, for the
// message that names what is missing.
std::string FirstReadable(const std::vector<std::string>& candidates) {
    for (const std::string& c : candidates)
        if (::access(c.c_str(), R_OK) == 0) return c;
    return candidates.front();
}

}  // namespace

std::string DefaultPluginPath() {
    const std::string name = "libbattery32.so";
    std::vector<std::string> candidates;
    if (const std::filesystem::path folder = ProgramFolder(); !folder.empty()) {
        candidates.push_back((folder / BATTERY32_INSTALLED_PLUGIN_DIR / name).lexically_normal());
        candidates.push_back(folder / name);
        candidates.push_back(folder.parent_path() / name);
    }
    candidates.push_back(BATTERY32_BUILT_PLUGIN);
    return FirstReadable(candidates);
}

std::string ExamplesDir() {
    std::vector<std::string> candidates;
    if (const std::filesystem::path folder = ProgramFolder(); !folder.empty()) {
        candidates.push_back((folder / BATTERY32_INSTALLED_EXAMPLES_DIR).lexically_normal());
    }
    candidates.push_back(BATTERY32_EXAMPLES_DIR);
    for (const std::string& c : candidates)
        if (::access((c + "/site.json").c_str(), R_OK) == 0) return c;
    return candidates.back();
}

}  // namespace runner::host
