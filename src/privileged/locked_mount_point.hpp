// The mount point as root finds it at the moment of use. pi owns /home/pi,
// so any path through it is pi's to bend between a check and a use: each
// component is opened from the one before it, no link is followed, and the
// checks and the mount or unmount act on those open directories.
#pragma once

#include <cstdint>

#include "base/descriptors.hpp"
#include "base/result.hpp"

struct OpenMountPoint {
    OwnedFd home;   // /home
    OwnedFd pi;     // /home/pi
    OwnedFd media;  // /home/pi/media, as a path (O_PATH): the top of whatever is mounted there
    uint64_t homeMount = 0;
    uint64_t piMount = 0;
    uint64_t mediaMount = 0;
};

// Opens /home, /home/pi and /home/pi/media and learns which mount each is
// on. Refused when a component is a link, is not a directory, or /home/pi is
// not on /home's own file system (something of pi's mounted over it).
Result<OpenMountPoint> openMountPoint();

// Ready for a key: nothing is mounted on /home/pi/media, and it is root's
// and immutable, so pi can neither move it nor have written into it.
Result<> checkReadyForKey(const OpenMountPoint& at);

// What is mounted on /home/pi/media sits there directly (or on other mounts
// of that same place), and the directory beneath it all is root's and
// immutable, as looked at in a mount namespace of its own where the mounts
// on it are detached.
Result<> checkMountedOnLockedDirectory(const OpenMountPoint& at);

// A mounted file system's /proc/self/fd path for the open directory fd, so
// that a mount system call acts on exactly that directory.
std::string descriptorPath(int fd);
