#include "watchdog/app_watchdog.hpp"

#include <dirent.h>

#include <climits>
#include <cstdlib>
#include <fstream>

#include "supervisor/command_runner.hpp"
#include "tarvex_constants.hpp"

namespace {

// Passes left before the watchdog starts looking. Counted down only by
// WatchApplication on the main thread; it gives the application time to start
// on its own at boot before the daemon would launch a second copy.
int g_gracePassesLeft = tarvex::kWatchdogGracePasses;

// The first argument of /proc/<pid>/cmdline, or "" when it cannot be read (a
// process that just exited) or is empty (kernel threads).
std::string readFirstArgument(const char* pid) {
    std::ifstream cmdline(std::string(tarvex::kProcDir) + "/" + pid + "/cmdline");
    std::string line;
    if (!cmdline || !std::getline(cmdline, line)) {
        return "";
    }
    return line.substr(0, line.find('\0'));
}

std::string withoutDirectory(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::vector<int> getProcIdByName(const std::string& name) {
    std::vector<int> ids;
    DIR* proc = opendir(tarvex::kProcDir);
    if (proc == nullptr) {
        return ids;
    }
    while (const dirent* entry = readdir(proc)) {
        const long id = std::strtol(entry->d_name, nullptr, 10);
        if (id <= 0 || id > INT_MAX) {
            continue;
        }
        const std::string argument = readFirstArgument(entry->d_name);
        if (!argument.empty() && withoutDirectory(argument) == name) {
            ids.push_back(static_cast<int>(id));
        }
    }
    closedir(proc);
    return ids;
}

bool QuorlIsNotRunning() { return getProcIdByName(tarvex::kApplicationName).empty(); }

void WatchApplication() {
    if (g_gracePassesLeft != 0) {
        --g_gracePassesLeft;
        return;
    }
    if (QuorlIsNotRunning()) {
        runCommand(tarvex::kRelaunchCommand);
    }
}
