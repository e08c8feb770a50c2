#include "storage/mount_point.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/command_runner.hpp"
#include "base/format_text.hpp"
#include "base/status_line.hpp"
#include "storage/mount_table.hpp"
#include "tarvex_constants.hpp"

namespace {

std::string mountCommand(const std::string& options, char letter, int partition) {
    std::string command = tarvex::kMountCommandPrefix;
    command += options;
    command += tarvex::kMountDevicePrefix;
    command += letter;
    if (partition >= 0) {
        command += std::to_string(partition);
    }
    command += ' ';
    command += tarvex::kMountPoint;
    return command;
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

// True when the mount point is a directory flagged immutable (chattr +i), as
// the package makes it so that pi, who owns /home/pi, cannot move it. Nothing
// can have been written into it, and neither rm nor mkdir could change it.
// Asked of the directory itself: a link there is not followed.
bool mountPointIsImmutable() {
    const int fd =
        open(tarvex::kMountPoint, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    int flags = 0;
    const bool immutable =
        ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL) != 0;
    close(fd);
    return immutable;
}

// After a failed attempt the mount point is removed and made again, so a stale
// directory (or one a failed FUSE mount left behind) does not block the next
// attempt. The removal is recursive and runs as root, so it is skipped when the
// kernel has anything mounted there: a mount that showed up late, or one the
// mountpoint tool could not see, would otherwise lose the key's files. An
// immutable, empty mount point has nothing to clean, and is left alone quietly.
void recreateMountPoint() {
    const bool mountedThere = mountsAtOrBelow(tarvex::kMountPoint);
    const bool clean = !mountedThere && mountPointIsImmutable();
    if (mountedThere) {
        printStatusLine(tarvex::kLineNotRemovingMountPoint);
    } else if (!clean) {
        runCommand(tarvex::kRemoveMountPointCommand);
    }
    usleep(tarvex::kCleanupPauseMicroseconds);
    if (!mountedThere && !clean) {
        runCommand(tarvex::kMakeMountPointCommand);
    }
    usleep(tarvex::kCleanupPauseMicroseconds);
}

// Set once the daemon has said why it leaves the mount point alone, cleared
// when it is a real directory again: each occurrence is reported once, not on
// every pass. Written only by mountPointRefusal, on the main thread.
bool g_mountPointRefusalReported = false;

// Why nothing may be mounted or unmounted at the mount point now; nullptr when
// it is a directory, or missing (the clean-up makes it). mount and umount
// follow links, so with a link there the key would cover, or the unmount take
// away, whatever the link points to; pi owns /home/pi and may leave one.
const char* mountPointRefusal() {
    struct stat info {};
    const char* reason = nullptr;
    if (lstat(tarvex::kMountPoint, &info) == 0) {
        if (S_ISLNK(info.st_mode)) {
            reason = tarvex::kMountPointIsLink;
        } else if (!S_ISDIR(info.st_mode)) {
            reason = tarvex::kMountPointIsNotDirectory;
        }
    }
    if (reason != nullptr && !g_mountPointRefusalReported) {
        printStatusLine(formatText(tarvex::kLineMountPointRefused, reason));
    }
    g_mountPointRefusalReported = reason != nullptr;
    return reason;
}

}  // namespace

bool isDeadMountAtMountPoint() {
    // Listing first: it is cheap and, on the usual pass without a key, settles it.
    if (isMountedDirAccesable()) {
        return false;
    }
    const auto mounts = readMountTable();
    return mounts && std::any_of(mounts->begin(), mounts->end(), [](const MountEntry& mount) {
               return mount.mountPoint == tarvex::kMountPoint;
           });
}

bool isMounted() {
    // Nothing can be mounted on a link itself; what it points to is not ours.
    if (mountPointRefusal() != nullptr) {
        return false;
    }
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
    const std::string withOwner = mountCommand(
        std::string(tarvex::kMountOwnerOptions) + tarvex::kMountSafetyOptions, letter, partition);
    const std::string plain = mountCommand(tarvex::kMountSafetyOptions, letter, partition);
    int attempts = 0;
    while (!isMountedAndListable() && attempts < tarvex::kMountAttempts) {
        // Not a directory: no mount there; the clean-up below puts a real
        // directory in its place (rm -r removes a link, not its target).
        if (mountPointRefusal() == nullptr) {
            runCommand(withOwner);
            if (!isMounted()) {
                printStatusLine(tarvex::kLineMountFallback);
                runCommand(plain);
            }
            if (waitForMount()) {
                printStatusLine(tarvex::kLineMounted);
                return true;
            }
        }
        recreateMountPoint();
        ++attempts;
    }
    return false;
}

void UnmountUsbkey() {
    if (mountPointRefusal() != nullptr) {
        return;
    }
    printStatusLine(tarvex::kLineUnmounting);
    runCommand(tarvex::kUnmountCommand);
}
