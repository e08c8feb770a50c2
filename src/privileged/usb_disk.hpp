// Which disk a node belongs to, by the kernel's own record in sysfs, and
// whether the system already uses it. Only a USB disk that nothing mounts
// and /etc/fstab does not name is a key: a USB-booted system's other
// partitions, or a data disk the system mounts itself, are not.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "base/result.hpp"

struct DiskNode {
    std::string name;  // sda, sda1, ...
    dev_t device;
};

struct KeyDisk {
    std::string name;             // the disk, sda
    std::vector<DiskNode> nodes;  // the disk itself and each of its partitions
};

// The disk /dev/<node> is (or is a partition of), when the kernel records it
// below a USB device. Refused when the node is not a block device, the
// kernel's record is of another device or name, or the disk is not on USB.
Result<KeyDisk> findUsbDisk(const std::string& node);

// Refused when a node of the disk is mounted anywhere (the kernel's table) or
// named in /etc/fstab, by its path, a link to it, or a UUID or label.
Result<> checkNotInUse(const KeyDisk& disk);

// The device an fstab line's first field names (a path, or a tag that udev
// keeps links for); empty when it names none that this machine has. Exposed
// for the fuzzer.
std::string fstabDevicePath(const std::string& line);
