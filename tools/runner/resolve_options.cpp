// The second half of the options: the defaults the command line leaves open,
// and the files the options name, read once before the run starts.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "tools/common/input_file.h"
#include "tools/runner/host/installed_files.h"
#include "tools/runner/run_options.h"

namespace runner {
namespace {

// A token file holds one line; anything larger is not one.
constexpr std::size_t kTokenFileLimit = 4096;

// Reads the token into `token`: printable ASCII without spaces. Returns "" or
// what is wrong. Says once when others can read the file.
std::string ReadToken(const std::string& path, std::string* token,
                      const console::Console& console) {
    input_file::Contents file = input_file::Read(path, kTokenFileLimit);
    if (!file.error.empty()) return "--http-token " + path + ": " + file.error;
    *token = std::move(file.text);
    token->erase(token->find_last_not_of("\n\r ") + 1);  // npos + 1 == 0: all blank
    const bool printable =
        std::all_of(token->begin(), token->end(), [](char c) { return c > ' ' && c < 127; });
    if (token->empty() || token->size() > 256 || !printable) {
        return "--http-token " + path + ": must hold one token of 1 to 256 printable characters";
    }
    if (input_file::OthersMayRead(file.mode)) {
        console.Problem("--http-token " + path + " can be read by other users (chmod 600 it)");
    }
    return "";
}

// The broker's prefix and login. Says once when the credentials file can be
// read by others.
std::string ResolveMqtt(outputs::MqttSettings& mqtt, const console::Console& console) {
    if (mqtt.url.empty()) return "";
    if (mqtt.prefix.empty()) mqtt.prefix = outputs::DefaultMqttPrefix();
    // Read at the first connection, inside the loop: a FIFO there would stop polling.
    if (!mqtt.cafile.empty()) {
        if (const std::string problem = input_file::RegularFileProblem(mqtt.cafile);
            !problem.empty()) {
            return "--mqtt-cafile " + mqtt.cafile + ": " + problem;
        }
    }
    if (mqtt.credentials_path.empty()) return "";
    mode_t mode = 0;
    if (std::string error = outputs::ReadMqttCredentials(&mqtt, &mode); !error.empty()) {
        return error;
    }
    if (input_file::OthersMayRead(mode)) {
        console.Problem("MQTT credentials " + mqtt.credentials_path +
                        " can be read by other users (chmod 600 it)");
    }
    return "";
}

bool Runnable(const std::string& file) {
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(file.c_str(), X_OK) == 0;
}

// The alarm command must be a program that can be run: a path, or a name
// found on PATH, as it will be looked for when run.
std::string CheckAlarmCommand(const std::string& program) {
    if (program.empty()) return "";
    bool found = program.find('/') != std::string::npos && Runnable(program);
    const char* path = std::getenv("PATH");
    if (program.find('/') == std::string::npos && path != nullptr) {
        const std::string dirs = path;
        for (std::size_t start = 0; !found && start <= dirs.size();) {
            std::size_t end = dirs.find(':', start);
            if (end == std::string::npos) end = dirs.size();
            const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
            found = Runnable(dir + "/" + program);
            start = end + 1;
        }
    }
    return found ? "" : "--alarm-command " + program + ": no program that can be run by that name";
}

}  // namespace

std::vector<std::string> ResolveOptions(RunOptions& options, const console::Console& console) {
    const std::string examples = host::ExamplesDir();
    if (options.simulate && options.site_path.empty()) options.site_path = examples + "/site.json";
    if (options.simulate && options.sim_path.empty() &&
        ::access((examples + "/sim.json").c_str(), R_OK) == 0) {
        options.sim_path = examples + "/sim.json";
    }
    if (options.plugin_path.empty()) options.plugin_path = host::DefaultPluginPath();
    // Each file is read and each problem said, so that --check shows them all at once.
    std::vector<std::string> problems;
    const auto note = [&problems](std::string problem) {
        if (!problem.empty()) problems.push_back(std::move(problem));
    };
    if (!options.http_token_path.empty()) {
        note(ReadToken(options.http_token_path, &options.http_token, console));
    }
    note(CheckAlarmCommand(options.alarm_command));
    note(ResolveMqtt(options.mqtt, console));
    return problems;
}

}  // namespace runner
