#include "watchdog/app_watchdog.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "supervisor/command_runner.hpp"
#include "supervisor/status_line.hpp"
#include "tarvex_constants.hpp"

namespace {

// Passes left before the watchdog starts looking. Counted down only by
// WatchApplication on the main thread; it gives the application time to start
// on its own at boot before the daemon would launch a second copy.
int g_gracePassesLeft = tarvex::kWatchdogGracePasses;

// Set by WatchApplication while the process table cannot be read, so that an
// outage is reported once, not every pass.
bool g_processTableUnreadable = false;

// The first argument of /proc/<pid>/cmdline: its text up to the first NUL or
// newline. "" when it cannot be read (a process that just exited) or is empty
// (kernel threads, zombies). Plain reads rather than a stream: this runs for
// every process on every pass.
std::string readFirstArgument(const char* pid) {
    const std::string path = std::string(tarvex::kProcDir) + "/" + pid + "/cmdline";
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return "";
    }
    std::string argument;
    char buffer[256];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        const auto* end = static_cast<const char*>(std::memchr(buffer, '\0', got));
        const auto* newline = static_cast<const char*>(std::memchr(buffer, '\n', got));
        if (newline != nullptr && (end == nullptr || newline < end)) {
            end = newline;
        }
        argument.append(buffer, end != nullptr ? end - buffer : got);
        if (end != nullptr) {
            break;
        }
    }
    close(fd);
    return argument;
}

std::string withoutDirectory(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Ids of the processes named name; none when /proc cannot be listed or lists
// no process at all (a working one always lists at least this daemon).
std::optional<std::vector<int>> scanProcessTable(const std::string& name) {
    DIR* proc = opendir(tarvex::kProcDir);
    if (proc == nullptr) {
        return std::nullopt;
    }
    std::vector<int> ids;
    bool sawAnyProcess = false;
    while (const dirent* entry = readdir(proc)) {
        const long id = std::strtol(entry->d_name, nullptr, 10);
        if (id <= 0 || id > INT_MAX) {
            continue;
        }
        sawAnyProcess = true;
        const std::string argument = readFirstArgument(entry->d_name);
        if (!argument.empty() && withoutDirectory(argument) == name) {
            ids.push_back(static_cast<int>(id));
        }
    }
    closedir(proc);
    if (!sawAnyProcess) {
        return std::nullopt;
    }
    return ids;
}

}  // namespace

std::vector<int> getProcIdByName(const std::string& name) {
    return scanProcessTable(name).value_or(std::vector<int>{});
}

bool QuorlIsNotRunning() { return getProcIdByName(tarvex::kApplicationName).empty(); }

void WatchApplication() {
    if (g_gracePassesLeft != 0) {
        --g_gracePassesLeft;
        return;
    }
    // A table that cannot be read says nothing about the application; taking
    // it for "not running" would start another instance every pass.
    const auto running = scanProcessTable(tarvex::kApplicationName);
    if (!running) {
        if (!g_processTableUnreadable) {
            printStatusLine(tarvex::kLineProcessTableUnreadable);
        }
        g_processTableUnreadable = true;
        return;
    }
    g_processTableUnreadable = false;
    if (running->empty()) {
        runCommand(tarvex::kRelaunchCommand);
    }
}
