#include "watchdog/app_watchdog.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "base/command_runner.hpp"
#include "base/descriptors.hpp"
#include "base/result.hpp"
#include "base/status_line.hpp"
#include "tarvex_constants.hpp"

namespace {

// Passes left before the watchdog starts looking. Counted down only by
// WatchApplication on the main thread; it gives the application time to start
// on its own at boot before the daemon would launch a second copy.
int g_gracePassesLeft = tarvex::kWatchdogGracePasses;

// Set by QuorlIsNotRunning while the process table cannot be read, so that an
// outage is reported once, not every pass.
bool g_processTableUnreadable = false;

// The start of /proc/<pid>/cmdline: at least up to the first NUL or newline
// when there is one. "" when it cannot be read (a process that just exited) or
// is empty (kernel threads, zombies). Plain reads rather than a stream: this
// runs for every process on every pass.
std::string readCommandLineStart(const char* pid) {
    const std::string path = std::string(tarvex::kProcDir) + "/" + pid + "/cmdline";
    const OwnedFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        return "";
    }
    std::string commandLine;
    char buffer[256];
    for (;;) {
        const ssize_t got = read(fd.get(), buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        commandLine.append(buffer, got);
        if (std::memchr(buffer, '\0', got) != nullptr ||
            std::memchr(buffer, '\n', got) != nullptr) {
            break;
        }
    }
    return commandLine;
}

// Ids of the processes named name; the errno when /proc cannot be listed,
// ESRCH when it lists no process at all (a working one always lists at least
// this daemon).
Result<std::vector<int>, int> scanProcessTable(const std::string& name) {
    const OwnedDir proc(opendir(tarvex::kProcDir));
    if (!proc) {
        return lastError();
    }
    std::vector<int> ids;
    bool sawAnyProcess = false;
    while (const dirent* entry = readdir(proc.get())) {
        const long id = std::strtol(entry->d_name, nullptr, 10);
        if (id <= 0 || id > INT_MAX) {
            continue;
        }
        sawAnyProcess = true;
        if (commandLineNames(readCommandLineStart(entry->d_name), name)) {
            ids.push_back(static_cast<int>(id));
        }
    }
    if (!sawAnyProcess) {
        return Refusal<int>{ESRCH};
    }
    return ids;
}

}  // namespace

bool commandLineNames(const std::string& commandLine, const std::string& name) {
    const std::string argument =
        commandLine.substr(0, commandLine.find_first_of(std::string("\0\n", 2)));
    if (argument.empty()) {
        return false;
    }
    const auto slash = argument.rfind('/');
    return (slash == std::string::npos ? argument : argument.substr(slash + 1)) == name;
}

std::vector<int> getProcIdByName(const std::string& name) {
    return scanProcessTable(name).valueOr({});
}

bool QuorlIsNotRunning() {
    // A table that cannot be read says nothing about the application; taking
    // it for "not running" would start another instance every pass.
    const auto running = scanProcessTable(tarvex::kApplicationName);
    if (!running) {
        if (!g_processTableUnreadable) {
            printStatusLine(tarvex::kLineProcessTableUnreadable);
        }
        g_processTableUnreadable = true;
        return false;
    }
    g_processTableUnreadable = false;
    return running->empty();
}

void WatchApplication() {
    if (g_gracePassesLeft != 0) {
        --g_gracePassesLeft;
        return;
    }
    if (QuorlIsNotRunning()) {
        runCommand(tarvex::kRelaunchCommand);
    }
}
