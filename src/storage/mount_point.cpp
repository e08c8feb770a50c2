#include "storage/mount_point.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "base/command_runner.hpp"
#include "base/descriptors.hpp"
#include "base/files.hpp"
#include "base/format_text.hpp"
#include "base/status_line.hpp"
#include "storage/mount_table.hpp"
#include "storage/usb_key_probe.hpp"
#include "tarvex_constants.hpp"

namespace {

// What udev found on a node.
struct UdevFileSystem {
    std::string type;   // one keys are formatted with, or the list of them all
    std::string other;  // when set, a type udev named that is none of them
};

// A type as udev names one: a short plain word. Anything else is not put in
// a status line as it stands.
bool isPlainTypeName(const std::string& type) {
    constexpr size_t kMaxTypeName = 32;
    return !type.empty() && type.size() <= kMaxTypeName &&
           std::all_of(type.begin(), type.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
           });
}

// The file system udev found on the node when it is one keys are formatted
// with; the list of those when udev named none (no record, or no type in
// it), so the kernel's drivers for them are tried in turn; and the other
// type udev named, when it named one. The record is read without following
// a link, and capped.
UdevFileSystem keyFileSystem(const std::string& node) {
    UdevFileSystem unknown{tarvex::kKeyFileSystemList, ""};
    struct stat device {};
    if (stat((std::string(tarvex::kDevDir) + "/" + node).c_str(), &device) != 0 ||
        !S_ISBLK(device.st_mode)) {
        return unknown;
    }
    const std::string record =
        formatText(tarvex::kUdevDataFormat, major(device.st_rdev), minor(device.st_rdev));
    const auto file = readRegularFile(AT_FDCWD, record.c_str(), tarvex::kMaxUdevDataBytes);
    if (!file) {
        return unknown;
    }
    const std::string& bytes = file->bytes;
    const std::string key = tarvex::kUdevFileSystemLine;
    for (size_t at = 0; at < bytes.size();) {
        size_t end = bytes.find('\n', at);
        if (end == std::string::npos) {
            end = bytes.size();
        }
        if (bytes.compare(at, key.size(), key) == 0) {
            const std::string type = bytes.substr(at + key.size(), end - at - key.size());
            const bool known =
                std::any_of(std::begin(tarvex::kKeyFileSystems), std::end(tarvex::kKeyFileSystems),
                            [&type](const char* name) { return type == name; });
            if (known) {
                return UdevFileSystem{type, ""};
            }
            return type.empty()
                       ? unknown
                       : UdevFileSystem{"",
                                        isPlainTypeName(type) ? type : tarvex::kUnnamedFileSystem};
        }
        at = end + 1;
    }
    return unknown;
}

std::string mountCommand(const std::string& node, const std::string& type, const char* options) {
    return formatText(tarvex::kMountCommand, node.c_str(), type.c_str(), options);
}

// The node, and its inode in /dev, of the key whose file system was last
// said to be one no key is formatted with: said once per insertion, not
// every pass. A key plugged in again gets a new node. Written only by
// refuseUnknownFileSystem, on the main thread.
std::string g_unknownFileSystemNode;
ino_t g_unknownFileSystemInode = 0;

// True, said once per insertion, when udev named a type that no key is
// formatted with: no mount is tried, so no driver parses a file system no
// key should have and the journal does not fill with the same failures.
bool refuseUnknownFileSystem(const std::string& node, const UdevFileSystem& found) {
    if (found.other.empty()) {
        return false;
    }
    struct stat info {};
    const ino_t inode =
        stat((std::string(tarvex::kDevDir) + "/" + node).c_str(), &info) == 0 ? info.st_ino : 0;
    if (node != g_unknownFileSystemNode || inode != g_unknownFileSystemInode) {
        printStatusLine(
            formatText(tarvex::kLineUnknownFileSystem, node.c_str(), found.other.c_str()));
        g_unknownFileSystemNode = node;
        g_unknownFileSystemInode = inode;
    }
    return true;
}

bool isMountedAndListable() { return isMounted() && isMountedDirAccesable(); }

bool nodeExists(const std::string& node) {
    struct stat info {};
    return lstat((std::string(tarvex::kDevDir) + "/" + node).c_str(), &info) == 0;
}

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
    const OwnedFd fd(
        open(tarvex::kMountPoint, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    int flags = 0;
    return fd && ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL) != 0;
}

// Set once the daemon has said why it leaves the mount point alone, cleared
// when it is a real directory again: each occurrence is reported once, not on
// every pass. Written only by checkMountPointUsable, on the main thread.
bool g_mountPointRefusalReported = false;

// Whether something may be mounted or unmounted at the mount point now: when
// it is a directory, or missing (the clean-up makes it); else why not, said
// once. mount and umount follow links, so with a link there the key would
// cover, or the unmount take away, whatever the link points to; pi owns
// /home/pi and may leave one.
Result<> checkMountPointUsable() {
    struct stat info {};
    Result<> usable = Done{};
    if (lstat(tarvex::kMountPoint, &info) == 0) {
        if (S_ISLNK(info.st_mode)) {
            usable = refuse(tarvex::kMountPointIsLink);
        } else if (!S_ISDIR(info.st_mode)) {
            usable = refuse(tarvex::kMountPointIsNotDirectory);
        }
    }
    if (!usable && !g_mountPointRefusalReported) {
        printStatusLine(formatText(tarvex::kLineMountPointRefused, usable.why().c_str()));
    }
    g_mountPointRefusalReported = !usable;
    return usable;
}

// After a failed attempt the mount point is removed and made again, so a stale
// directory (or one a failed FUSE mount left behind) does not block the next
// attempt. The removal is recursive, so it is skipped when the kernel has
// anything mounted there: a mount that showed up late, or one the mountpoint
// tool could not see, would otherwise lose the key's files. An immutable,
// empty mount point has nothing to clean, and a link or other non-directory
// is refused, not replaced by a directory of pi's: both are left alone.
void recreateMountPoint() {
    const bool mountedThere = mountsAtOrBelow(tarvex::kMountPoint);
    // Asked again: pi may have swapped the directory since.
    const bool leave = mountedThere || !checkMountPointUsable() || mountPointIsImmutable();
    if (mountedThere) {
        printStatusLine(tarvex::kLineNotRemovingMountPoint);
    } else if (!leave) {
        runCommand(tarvex::kRemoveMountPointCommand);
    }
    usleep(tarvex::kCleanupPauseMicroseconds);
    if (!leave) {
        runCommand(tarvex::kMakeMountPointCommand);
    }
    usleep(tarvex::kCleanupPauseMicroseconds);
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
    if (!checkMountPointUsable()) {
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
    const OwnedDir dir(opendir(tarvex::kMountPoint));
    if (!dir) {
        return false;
    }
    while (const dirent* entry = readdir(dir.get())) {
        if (std::strchr(entry->d_name, '.') != nullptr) {
            return true;
        }
    }
    return false;
}

bool MountUsbkey(char letter, int partition) {
    const std::string node = deviceName(letter, partition);
    const UdevFileSystem found = keyFileSystem(node);
    if (refuseUnknownFileSystem(node, found)) {
        return false;
    }
    const std::string withOwner = mountCommand(node, found.type, tarvex::kMountOwnerOptions);
    const std::string plain = mountCommand(node, found.type, tarvex::kMountPlainOptions);
    int attempts = 0;
    while (!isMountedAndListable() && attempts < tarvex::kMountAttempts) {
        // Not a directory: no mount there, and no clean-up either.
        if (!checkMountPointUsable()) {
            return false;
        }
        // A key pulled since the probe saw it (a pass that found its mount
        // unlistable mounts again at once) has nothing left to try: three
        // attempts on a node that is gone would hold the pass for seconds,
        // and with it the next key that is plugged in.
        if (!nodeExists(node)) {
            return false;
        }
        runCommand(withOwner);
        if (!isMounted()) {
            printStatusLine(tarvex::kLineMountFallback);
            runCommand(plain);
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
    if (!checkMountPointUsable()) {
        return;
    }
    printStatusLine(tarvex::kLineUnmounting);
    runCommand(tarvex::kUnmountCommand);
}
