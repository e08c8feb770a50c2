#include "storage/usb_key_probe.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/command_runner.hpp"
#include "base/format_text.hpp"
#include "base/status_line.hpp"
#include "storage/mount_table.hpp"
#include "tarvex_constants.hpp"

namespace {

// A size read from fdisk, and the node it was read for. Reading sizes costs a
// privileged fdisk per partition on every pass while a key is in; a node
// with the same device number, inode and change time is the same insertion,
// whose sizes cannot have changed. A node that cannot be stat'ed (such as
// sda0, which a disk named sdab makes the probe ask for) counts as one
// identity, all zero, until it appears.
struct KnownSize {
    dev_t fileSystem;
    ino_t inode;
    dev_t device;
    struct timespec changed;
    // cppcheck-suppress unusedStructMember ; read through the map's iterator
    uint64_t bytes;
    // 0 when bytes was read. Otherwise the failed reads of this node in a row,
    // and how many more probes pass it over before it is read again.
    size_t failures;
    int skipsLeft;
};

// Sizes read at the last probe, by node name, and the failed reads being
// backed off. Replaced by every probe (so a pulled key is forgotten at once);
// written only by isUsbKeyInserted on the main thread.
std::map<std::string, KnownSize> g_knownPartitionSizes;

// Disks the last probe passed over because they are in use elsewhere, so each
// is reported once while that lasts, not on every pass. Written only by
// isUsbKeyInserted.
std::set<std::string> g_disksReportedInUse;

// Only the type the listing reports counts: a node whose type the file system
// does not report is not taken for a disk, and no extra stat is made for that.
bool isBlockDevice(const dirent* entry) { return entry->d_type == DT_BLK; }

struct DevListing {
    std::vector<std::string> disks;        // sdX, in listing order
    std::vector<std::string> longerNames;  // sdX..., in listing order
};

std::optional<DevListing> listSdNodes() {
    DIR* dev = opendir(tarvex::kDevDir);
    if (dev == nullptr) {
        return std::nullopt;
    }
    DevListing listing;
    while (const dirent* entry = readdir(dev)) {
        if (!isBlockDevice(entry) || std::strncmp(entry->d_name, "sd", 2) != 0) {
            continue;
        }
        const size_t length = std::strlen(entry->d_name);
        if (length == 3) {
            listing.disks.emplace_back(entry->d_name);
        } else if (length > 3) {
            listing.longerNames.emplace_back(entry->d_name);
        }
    }
    closedir(dev);
    return listing;
}

// Partition numbers of disk sd<letter>, in listing order. A four-letter disk
// such as sdab counts as "partition" 0 of sda: atoi of "b" is 0. It never has
// a size, so it is never chosen.
std::vector<int> partitionNumbers(const DevListing& listing, char letter) {
    const char prefix[] = {'s', 'd', letter};
    std::vector<int> numbers;
    for (const std::string& name : listing.longerNames) {
        if (name.compare(0, sizeof prefix, prefix, sizeof prefix) == 0) {
            // atoi rules, but without its undefined overflow: a number that
            // does not fit an int is no partition we could name anyway.
            const long number = std::strtol(name.c_str() + 3, nullptr, 10);
            if (number >= 0 && number <= INT_MAX) {
                numbers.push_back(static_cast<int>(number));
            }
        }
    }
    return numbers;
}

std::optional<struct stat> statNode(const std::string& name) {
    struct stat node {};
    if (stat((std::string(tarvex::kDevDir) + "/" + name).c_str(), &node) != 0) {
        return std::nullopt;
    }
    return node;
}

// A mount of a disk's node somewhere other than the mount point.
struct Use {
    // cppcheck-suppress unusedStructMember ; read through the optional
    std::string node;  // the disk's or a partition's path
    // cppcheck-suppress unusedStructMember ; read through the optional
    std::string mountPoint;
};

// A mount of the disk or one of its partitions anywhere but the mount point
// makes it the system's disk (a Pi that boots from USB) or a data disk, never
// a key. A FUSE mount (exFAT) has no block device number: its source names it.
// Returns the first such mount found.
std::optional<Use> useElsewhere(const DevListing& listing, const std::string& disk,
                                const std::vector<MountEntry>& mounts) {
    std::vector<std::string> nodes{disk};
    std::copy_if(listing.longerNames.begin(), listing.longerNames.end(), std::back_inserter(nodes),
                 [&disk](const std::string& name) {
                     return name.compare(0, disk.size(), disk) == 0 &&
                            name.find_first_not_of("0123456789", disk.size()) == std::string::npos;
                 });
    for (const std::string& name : nodes) {
        const std::string path = std::string(tarvex::kDevDir) + "/" + name;
        const auto node = statNode(name);
        for (const MountEntry& mount : mounts) {
            if (mount.mountPoint == tarvex::kMountPoint) {
                continue;
            }
            if (mount.source == path ||
                (node && S_ISBLK(node->st_mode) && mount.device == node->st_rdev)) {
                return Use{path, mount.mountPoint};
            }
        }
    }
    return std::nullopt;
}

bool sameNode(const KnownSize& known, const struct stat& node) {
    return known.fileSystem == node.st_dev && known.inode == node.st_ino &&
           known.device == node.st_rdev && known.changed.tv_sec == node.st_ctim.tv_sec &&
           known.changed.tv_nsec == node.st_ctim.tv_nsec;
}

std::string partitionName(char letter, int number) {
    char name[32];
    std::snprintf(name, sizeof name, "sd%c%d", letter, number);
    return name;
}

// Whether this probe reads the size of node `name`: one not read before or
// changed since, or one whose failed read is not being backed off.
bool sizeReadDue(const std::string& name) {
    const auto known = g_knownPartitionSizes.find(name);
    const struct stat absent {};
    return known == g_knownPartitionSizes.end() ||
           !sameNode(known->second, statNode(name).value_or(absent)) ||
           (known->second.failures != 0 && known->second.skipsLeft == 0);
}

// readBackedOff: read a node whose failed reads are being backed off anyway.
uint64_t partitionSize(const std::string& name, std::map<std::string, KnownSize>& seen,
                       bool readBackedOff) {
    const struct stat absent {};
    const struct stat node = statNode(name).value_or(absent);
    const auto already = seen.find(name);
    if (already != seen.end() && sameNode(already->second, node)) {
        return already->second.failures == 0 ? already->second.bytes : 0;
    }
    size_t failures = 0;
    const auto known = g_knownPartitionSizes.find(name);
    if (known != g_knownPartitionSizes.end() && sameNode(known->second, node)) {
        KnownSize& entry = seen[name] = known->second;
        if (entry.failures == 0) {
            return entry.bytes;
        }
        if (entry.skipsLeft > 0 && !readBackedOff) {
            --entry.skipsLeft;
            return 0;
        }
        failures = entry.failures;
    }
    const uint64_t bytes = ReadPartitionSize(name);
    KnownSize entry{node.st_dev, node.st_ino, node.st_rdev, node.st_ctim, bytes, 0, 0};
    if (bytes == 0) {
        constexpr size_t kSteps = std::size(tarvex::kFailedSizeSkips);
        entry.failures = failures + 1;
        if (entry.failures > tarvex::kFailedSizeRereads) {
            const size_t step = std::min(entry.failures - tarvex::kFailedSizeRereads, kSteps);
            entry.skipsLeft = tarvex::kFailedSizeSkips[step - 1];
        }
    }
    seen[name] = entry;
    return bytes;
}

// The number of the largest of disk sd<letter>'s partitions `numbers`, the
// first listed of equals; -1 when none has a size. The sizes are judged
// together: when one partition is read (its node is new or changed: the key
// came up, or the kernel read its table anew), so is every one without a
// size, backed off or not, or a smaller partition read now could win over a
// larger one whose back-off merely has passes left.
int largestPartition(char letter, const std::vector<int>& numbers,
                     std::map<std::string, KnownSize>& seen) {
    const bool reading = std::any_of(numbers.begin(), numbers.end(), [letter](int number) {
        return sizeReadDue(partitionName(letter, number));
    });
    int largest = -1;
    uint64_t bestSize = 0;
    for (const int number : numbers) {
        const uint64_t size = partitionSize(partitionName(letter, number), seen, reading);
        if (size > bestSize) {
            bestSize = size;
            largest = number;
        }
    }
    return largest;
}

// A partition of `numbers` whose last size read failed and that the next
// probe reads again (not yet backed off): a key still coming up, or a node
// the kernel was adding anew while it was read. Number 0 is a four-letter
// disk, never a partition.
bool sizeReadAgainNextProbe(char letter, const std::vector<int>& numbers,
                            const std::map<std::string, KnownSize>& seen) {
    return std::any_of(numbers.begin(), numbers.end(), [&](int number) {
        if (number == 0) {
            return false;
        }
        const auto entry = seen.find(partitionName(letter, number));
        return entry != seen.end() && entry->second.failures > 0 &&
               entry->second.failures <= tarvex::kFailedSizeRereads;
    });
}

}  // namespace

uint64_t parseFdiskByteCount(const std::string& firstLine) {
    const char* text = firstLine.c_str();
    const char* comma = std::strchr(text, ',');
    if (comma == nullptr || std::strlen(comma) < 3) {
        return 0;
    }
    // Like "%llu": leading blanks skipped, 0 when no digits follow.
    const char* digits = comma + 2;
    char* end = nullptr;
    const unsigned long long bytes = std::strtoull(digits, &end, 10);
    return end == digits ? 0 : bytes;
}

uint64_t ReadPartitionSize(const std::string& deviceName) {
    const auto line = readFirstLine(tarvex::kPartitionSizeCommand + deviceName);
    if (!line) {
        printStatusLine(tarvex::kLinePartitionSizeFailed);
        return 0;
    }
    return parseFdiskByteCount(*line);
}

UsbKeyProbe isUsbKeyInserted() {
    UsbKeyProbe probe{0, -1};
    const auto listing = listSdNodes();
    if (!listing || listing->disks.empty()) {
        g_knownPartitionSizes.clear();
        g_disksReportedInUse.clear();
        return probe;
    }

    // Read only when there is a disk to judge: a pass without one stays as
    // cheap as ever. An unreadable table judges no disk to be in use.
    const auto mounts = readMountTable().value_or(std::vector<MountEntry>{});
    std::set<std::string> inUse;
    for (const std::string& disk : listing->disks) {
        if (const auto use = useElsewhere(*listing, disk, mounts)) {
            if (g_disksReportedInUse.count(disk) == 0) {
                const std::string path = std::string(tarvex::kDevDir) + "/" + disk;
                printStatusLine(formatText(tarvex::kLineDiskInUse, path.c_str(), use->node.c_str(),
                                           use->mountPoint.c_str()));
            }
            inUse.insert(disk);
            continue;
        }
        probe.letter = disk[2];
        break;
    }
    g_disksReportedInUse = inUse;

    std::map<std::string, KnownSize> seen;
    if (probe.letter != 0) {
        const std::vector<int> listed = partitionNumbers(*listing, probe.letter);
        probe.partition = largestPartition(probe.letter, listed, seen);
        // The kernel adds a key's partitions one after another (as the key
        // comes up, and again when it reads the table anew after a media
        // change), and fdisk's open of a partition waits until it is done.
        // A listing taken after the reads therefore holds every partition;
        // one that was not listed yet must not lose to a smaller one.
        std::vector<int> chosenFrom = listed;
        if (!listed.empty()) {
            if (const auto again = listSdNodes()) {
                const std::vector<int> now = partitionNumbers(*again, probe.letter);
                if (now != listed) {
                    probe.partition = largestPartition(probe.letter, now, seen);
                    chosenFrom = now;
                }
            }
        }
        // Mounting the largest of the sizes read could take a smaller
        // partition whose sibling merely failed its read this time, and the
        // key's update would be missed until it is plugged in again. With no
        // size at all the whole disk is tried, as ever.
        probe.sizesPending =
            probe.partition != -1 && sizeReadAgainNextProbe(probe.letter, chosenFrom, seen);
    }
    g_knownPartitionSizes = std::move(seen);
    return probe;
}
