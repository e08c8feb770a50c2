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
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "base/command_runner.hpp"
#include "base/descriptors.hpp"
#include "base/format_text.hpp"
#include "base/status_line.hpp"
#include "storage/mount_table.hpp"
#include "storage/partition_sizes.hpp"
#include "tarvex_constants.hpp"

namespace {

// Sizes read at the last probe and the failed reads being backed off. Written
// only by isUsbKeyInserted, on the main thread.
PartitionSizes g_partitionSizes;

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

Result<DevListing, int> listSdNodes() {
    const OwnedDir dev(opendir(tarvex::kDevDir));
    if (!dev) {
        return lastError();
    }
    DevListing listing;
    while (const dirent* entry = readdir(dev.get())) {
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

Result<struct stat, int> statNode(const std::string& name) {
    struct stat node {};
    if (stat((std::string(tarvex::kDevDir) + "/" + name).c_str(), &node) != 0) {
        return lastError();
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

// The number of the largest of disk sd<letter>'s partitions `numbers`, the
// first listed of equals; -1 when none has a size. The sizes are judged
// together: when one partition is read (its node is new or changed: the key
// came up, or the kernel read its table anew), so is every one without a
// size, backed off or not, or a smaller partition read now could win over a
// larger one whose back-off merely has passes left.
int largestPartition(char letter, const std::vector<int>& numbers) {
    const bool reading = std::any_of(numbers.begin(), numbers.end(), [letter](int number) {
        return g_partitionSizes.readDue(deviceName(letter, number));
    });
    int largest = -1;
    uint64_t bestSize = 0;
    for (const int number : numbers) {
        const uint64_t size =
            g_partitionSizes.size(deviceName(letter, number), reading, ReadPartitionSize);
        if (size > bestSize) {
            bestSize = size;
            largest = number;
        }
    }
    return largest;
}

// Says once, while it lasts, that disk is passed over for a use elsewhere.
void reportDiskInUse(const std::string& disk, const Use& use) {
    if (g_disksReportedInUse.count(disk) == 0) {
        const std::string path = std::string(tarvex::kDevDir) + "/" + disk;
        printStatusLine(formatText(tarvex::kLineDiskInUse, path.c_str(), use.node.c_str(),
                                   use.mountPoint.c_str()));
    }
}

// The letter of the first listed disk not in use elsewhere, 0 when there is
// none; the disks in use are reported.
char chooseDisk(const DevListing& listing) {
    // Read only when there is a disk to judge: a pass without one stays as
    // cheap as ever. An unreadable table judges no disk to be in use.
    const auto mounts = readMountTable().valueOr({});
    std::set<std::string> inUse;
    char letter = 0;
    for (const std::string& disk : listing.disks) {
        if (const auto use = useElsewhere(listing, disk, mounts)) {
            reportDiskInUse(disk, *use);
            inUse.insert(disk);
            continue;
        }
        letter = disk[2];
        break;
    }
    g_disksReportedInUse = inUse;
    return letter;
}

// The partition of disk sd<letter> to mount, and whether a sibling's size is
// still to come.
void choosePartition(const DevListing& listing, UsbKeyProbe& probe) {
    const std::vector<int> listed = partitionNumbers(listing, probe.letter);
    probe.partition = largestPartition(probe.letter, listed);
    // The kernel adds a key's partitions one after another (as the key comes
    // up, and again when it reads the table anew after a media change), and
    // fdisk's open of a partition waits until it is done. A listing taken
    // after the reads therefore holds every partition; one that was not
    // listed yet must not lose to a smaller one.
    std::vector<int> chosenFrom = listed;
    if (!listed.empty()) {
        if (const auto again = listSdNodes()) {
            const std::vector<int> now = partitionNumbers(*again, probe.letter);
            if (now != listed) {
                probe.partition = largestPartition(probe.letter, now);
                chosenFrom = now;
            }
        }
    }
    // Mounting the largest of the sizes read could take a smaller partition
    // whose sibling merely failed its read this time, and the key's update
    // would be missed until it is plugged in again. With no size at all the
    // whole disk is tried, as ever. Number 0 is a four-letter disk, never a
    // partition.
    std::vector<std::string> siblings;
    for (const int number : chosenFrom) {
        if (number != 0) {
            siblings.push_back(deviceName(probe.letter, number));
        }
    }
    probe.sizesPending = probe.partition != -1 && g_partitionSizes.readAgainNextProbe(siblings);
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

std::string deviceName(char letter, int partition) {
    std::string name = "sd";
    name += letter;
    if (partition >= 0) {
        name += std::to_string(partition);
    }
    return name;
}

UsbKeyProbe isUsbKeyInserted() {
    UsbKeyProbe probe{0, -1};
    const auto listing = listSdNodes();
    if (!listing || listing->disks.empty()) {
        g_disksReportedInUse.clear();
    } else {
        probe.letter = chooseDisk(*listing);
        if (probe.letter != 0) {
            choosePartition(*listing, probe);
        }
    }
    g_partitionSizes.endProbe();
    return probe;
}
