// The kernel's table of mounts as this process sees them (mountinfo): what
// the mount point checks and the key probe ask before they act.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "base/result.hpp"

struct MountEntry {
    int id;                  // the mount's own number, as statx's stx_mnt_id gives it
    int parent;              // the number of the mount it sits on
    dev_t device;            // the mounted file system's device number
    std::string mountPoint;  // unescaped
    std::string source;      // what was mounted, e.g. "/dev/sda1"; unescaped
};

// Every mount listed for this process, in the kernel's order; the errno when
// the table cannot be read, EIO when it is empty (every system has at least
// its root).
Result<std::vector<MountEntry>, int> readMountTable();

// One line of mountinfo; none when it is not one.
std::optional<MountEntry> parseMountInfoLine(const std::string& line);

// Asks the kernel (mountinfo) whether anything is mounted at path or below it.
// True also when the kernel cannot be asked: callers use it to decide whether a
// recursive removal is safe, and an unknown answer is not safe.
bool mountsAtOrBelow(const char* path);
