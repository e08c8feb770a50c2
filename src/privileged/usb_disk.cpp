#include "privileged/usb_disk.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "base/descriptors.hpp"
#include "base/files.hpp"
#include "base/format_text.hpp"
#include "storage/mount_table.hpp"
#include "tarvex_constants.hpp"

namespace {

std::string parentOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string lastComponent(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// A sysfs "dev" file: MAJOR:MINOR and a newline.
Result<dev_t> readDeviceNumber(const std::string& dir) {
    const auto file =
        readRegularFile(AT_FDCWD, (dir + "/dev").c_str(), tarvex::kMaxSysfsRecordBytes);
    if (!file) {
        return refuse(tarvex::kHelperOtherRecord);
    }
    const char* text = file->bytes.c_str();
    char* end = nullptr;
    const unsigned long major = std::strtoul(text, &end, 10);
    if (end == text || *end != ':') {
        return refuse(tarvex::kHelperOtherRecord);
    }
    text = end + 1;
    const unsigned long minor = std::strtoul(text, &end, 10);
    if (end == text || std::string(end) != "\n") {
        return refuse(tarvex::kHelperOtherRecord);
    }
    return makedev(major, minor);
}

bool exists(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) == 0;
}

// A directory above the disk's record is a USB device or interface.
bool isBelowUsb(const std::string& diskDir) {
    for (std::string dir = parentOf(diskDir); dir != "/"; dir = parentOf(dir)) {
        char target[PATH_MAX];
        const ssize_t length = readlink((dir + "/subsystem").c_str(), target, sizeof target - 1);
        if (length > 0) {
            target[length] = '\0';
            if (lastComponent(target) == tarvex::kUsbSubsystem) {
                return true;
            }
        }
    }
    return false;
}

std::vector<DiskNode> nodesOf(const std::string& diskDir, const DiskNode& disk) {
    std::vector<DiskNode> nodes{disk};
    const OwnedDir dir(opendir(diskDir.c_str()));
    if (!dir) {
        return nodes;
    }
    while (const dirent* entry = readdir(dir.get())) {
        const std::string sub = diskDir + "/" + entry->d_name;
        if (entry->d_name[0] == '.' || !exists(sub + "/partition")) {
            continue;
        }
        if (const auto device = readDeviceNumber(sub)) {
            nodes.push_back(DiskNode{entry->d_name, *device});
        }
    }
    return nodes;
}

std::string unquoted(const std::string& value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

}  // namespace

std::string fstabDevicePath(const std::string& line) {
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') {
        return "";
    }
    std::string field = line.substr(start, line.find_first_of(" \t", start) - start);
    if (field[0] == '/') {
        return field;
    }
    for (size_t i = 0; i + 1 < std::size(tarvex::kFstabTagLinks); i += 2) {
        const std::string tag = tarvex::kFstabTagLinks[i];
        if (field.compare(0, tag.size(), tag) == 0) {
            const std::string value = unquoted(field.substr(tag.size()));
            if (value.empty() || value.find('/') != std::string::npos) {
                return "";
            }
            return tarvex::kFstabTagLinks[i + 1] + value;
        }
    }
    return "";
}

Result<KeyDisk> findUsbDisk(const std::string& node) {
    const std::string devPath = std::string(tarvex::kDevDir) + "/" + node;
    struct stat info {};
    if (lstat(devPath.c_str(), &info) != 0) {
        return refuse(formatText(tarvex::kHelperCannotOpen, devPath.c_str(), std::strerror(errno)));
    }
    if (!S_ISBLK(info.st_mode)) {
        return refuse(tarvex::kHelperNotBlockDevice);
    }
    const std::string record =
        formatText(tarvex::kSysBlockFormat, major(info.st_rdev), minor(info.st_rdev));
    char resolved[PATH_MAX];
    if (realpath(record.c_str(), resolved) == nullptr) {
        return refuse(formatText(tarvex::kHelperNoKernelRecord, std::strerror(errno)));
    }
    const std::string nodeDir = resolved;
    const bool isPartition = node.size() > 3;
    const std::string diskDir = isPartition ? parentOf(nodeDir) : nodeDir;
    const std::string diskName = node.substr(0, 3);
    // The kernel names its nodes as /dev does: a record of another name, or
    // of a partition for a disk's node, is not this node's.
    const auto recorded = readDeviceNumber(nodeDir);
    if (!recorded || *recorded != info.st_rdev || lastComponent(nodeDir) != node ||
        exists(nodeDir + "/partition") != isPartition || lastComponent(diskDir) != diskName) {
        return refuse(tarvex::kHelperOtherRecord);
    }
    const auto diskDevice = readDeviceNumber(diskDir);
    if (!diskDevice) {
        return refuse(diskDevice.why());
    }
    const DiskNode disk{diskName, *diskDevice};
    if (!isBelowUsb(diskDir)) {
        return refuse(formatText(tarvex::kHelperNotUsb, diskName.c_str()));
    }
    return KeyDisk{diskName, nodesOf(diskDir, disk)};
}

Result<> checkNotInUse(const KeyDisk& disk) {
    const auto mounts = readMountTable();
    if (!mounts) {
        return refuse(tarvex::kHelperNoMountTable);
    }
    for (const DiskNode& node : disk.nodes) {
        const std::string path = std::string(tarvex::kDevDir) + "/" + node.name;
        // FUSE mounts carry a device number of their own; their source names
        // the node.
        const auto mounted =
            std::find_if(mounts->begin(), mounts->end(), [&node, &path](const MountEntry& entry) {
                return entry.device == node.device || entry.source == path;
            });
        if (mounted != mounts->end()) {
            return refuse(
                formatText(tarvex::kHelperInUse, node.name.c_str(), mounted->mountPoint.c_str()));
        }
    }
    const auto fstab = readRegularFile(AT_FDCWD, tarvex::kFstabPath, tarvex::kMaxFstabBytes);
    if (!fstab) {
        // No fstab names nothing; one that cannot be read may name anything.
        if (fstab.why().kind == ReadRefusal::kMissing) {
            return Done{};
        }
        return refuse(formatText(
            tarvex::kHelperCannotOpen, tarvex::kFstabPath,
            std::strerror(fstab.why().kind == ReadRefusal::kFailed ? fstab.why().error : EINVAL)));
    }
    const std::string& bytes = fstab->bytes;
    for (size_t at = 0; at < bytes.size();) {
        const size_t end = std::min(bytes.find('\n', at), bytes.size());
        const std::string path = fstabDevicePath(bytes.substr(at, end - at));
        at = end + 1;
        if (path.empty()) {
            continue;
        }
        struct stat named {};
        const bool isBlock = stat(path.c_str(), &named) == 0 && S_ISBLK(named.st_mode);
        const auto namedHere =
            std::find_if(disk.nodes.begin(), disk.nodes.end(), [&](const DiskNode& node) {
                return path == std::string(tarvex::kDevDir) + "/" + node.name ||
                       (isBlock && named.st_rdev == node.device);
            });
        if (namedHere != disk.nodes.end()) {
            return refuse(formatText(tarvex::kHelperInFstab, namedHere->name.c_str()));
        }
    }
    return Done{};
}
