#include "storage/mount_point.hpp"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "supervisor/command_runner.hpp"
#include "supervisor/status_line.hpp"
#include "tarvex_constants.hpp"

namespace {

std::string mountCommandBase(char letter, int partition) {
    std::string base = tarvex::kMountCommandPrefix;
    base += letter;
    if (partition >= 0) {
        base += std::to_string(partition);
    }
    base += ' ';
    base += tarvex::kMountPoint;
    return base;
}

bool isMountedAndListable() { return isMounted() && isMountedDirAccesable(); }

// Polls up to ten times, 100 ms apart, for the mount to show. Returns true when
// it was seen.
bool waitForMount() {
    int polls = 0;
    while (polls < tarvex::kMountWaitPolls && !isMounted()) {
        ++polls;
        usleep(tarvex::kMountPollMicroseconds);
    }
    return polls < tarvex::kMountWaitPolls;
}

// After a failed attempt the mount point is removed and made again, so a stale
// directory (or one a failed FUSE mount left behind) does not block the next
// attempt. The removal is recursive and runs as root, so it is skipped when the
// kernel has anything mounted there: a mount that showed up late, or one the
// mountpoint tool could not see, would otherwise lose the key's files.
void recreateMountPoint() {
    const bool safeToRemove = !mountsAtOrBelow(tarvex::kMountPoint);
    if (safeToRemove) {
        runCommand(tarvex::kRemoveMountPointCommand);
    } else {
        printStatusLine(tarvex::kLineNotRemovingMountPoint);
    }
    usleep(tarvex::kCleanupPauseMicroseconds);
    if (safeToRemove) {
        runCommand(tarvex::kMakeMountPointCommand);
    }
    usleep(tarvex::kCleanupPauseMicroseconds);
}

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string unescapeMountInfoPath(const std::string& field) {
    std::string path;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string octal = field.substr(i + 1, 3);
            if (octal.find_first_not_of("01234567") == std::string::npos) {
                path += static_cast<char>(std::stoi(octal, nullptr, 8));
                i += 3;
                continue;
            }
        }
        path += field[i];
    }
    return path;
}

// Mount points the kernel lists for this process, or none when the table
// cannot be read. An empty table counts as unreadable: every system has at
// least its root mount.
std::optional<std::vector<std::string>> kernelMountPoints() {
    std::ifstream mountInfo(tarvex::kMountInfoPath);
    std::vector<std::string> points;
    std::string line;
    while (mountInfo && std::getline(mountInfo, line)) {
        std::istringstream fields(line);
        std::string mountId, parentId, majorMinor, root, mountPoint;
        if (fields >> mountId >> parentId >> majorMinor >> root >> mountPoint) {
            points.push_back(unescapeMountInfoPath(mountPoint));
        }
    }
    if (points.empty() || mountInfo.bad()) {
        return std::nullopt;
    }
    return points;
}

}  // namespace

bool mountsAtOrBelow(const char* path) {
    const auto points = kernelMountPoints();
    if (!points) {
        return true;
    }
    const std::string target = path;
    return std::any_of(points->begin(), points->end(), [&target](const std::string& point) {
        return point == target ||
               (point.size() > target.size() && point.compare(0, target.size(), target) == 0 &&
                point[target.size()] == '/');
    });
}

bool isDeadMountAtMountPoint() {
    // Listing first: it is cheap and, on the usual pass without a key, settles it.
    if (isMountedDirAccesable()) {
        return false;
    }
    const auto points = kernelMountPoints();
    return points &&
           std::find(points->begin(), points->end(), tarvex::kMountPoint) != points->end();
}

bool isMounted() {
    const auto line = readFirstLine(tarvex::kIsMountedCommand);
    if (!line) {
        printStatusLine(tarvex::kLineMountCheckError);
        return false;
    }
    return !line->empty() && (*line)[0] == 'Y';
}

bool isMountedDirAccesable() {
    DIR* dir = opendir(tarvex::kMountPoint);
    if (dir == nullptr) {
        return false;
    }
    bool listed = false;
    while (const dirent* entry = readdir(dir)) {
        if (std::strchr(entry->d_name, '.') != nullptr) {
            listed = true;
            break;
        }
    }
    closedir(dir);
    return listed;
}

bool MountUsbkey(char letter, int partition) {
    const std::string base = mountCommandBase(letter, partition);
    int attempts = 0;
    while (!isMountedAndListable() && attempts < tarvex::kMountAttempts) {
        runCommand(base + tarvex::kMountOptions);
        if (!isMounted()) {
            printStatusLine(tarvex::kLineMountFallback);
            runCommand(base);
        }
        if (waitForMount()) {
            printStatusLine(tarvex::kLineMounted);
            return true;
        }
        recreateMountPoint();
        ++attempts;
    }
    return false;
}

void UnmountUsbkey() {
    printStatusLine(tarvex::kLineUnmounting);
    runCommand(tarvex::kUnmountCommand);
}
