#include "storage/usb_key_probe.hpp"

#include <dirent.h>

#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "supervisor/command_runner.hpp"
#include "supervisor/status_line.hpp"
#include "tarvex_constants.hpp"

namespace {

// Only the type the listing reports counts: a node whose type the file system
// does not report is not taken for a disk, and no extra stat is made.
bool isBlockDevice(const dirent* entry) { return entry->d_type == DT_BLK; }

char findFirstDiskLetter(DIR* dev) {
    while (const dirent* entry = readdir(dev)) {
        if (isBlockDevice(entry) && std::strncmp(entry->d_name, "sd", 2) == 0 &&
            std::strlen(entry->d_name) == 3) {
            return entry->d_name[2];
        }
    }
    return 0;
}

// Partition numbers of disk sd<letter>, in listing order. A four-letter disk
// such as sdab counts as "partition" 0 of sda: atoi of "b" is 0. It never has
// a size, so it is never chosen.
std::vector<int> listPartitionNumbers(DIR* dev, char letter) {
    const char prefix[] = {'s', 'd', letter};
    std::vector<int> numbers;
    while (const dirent* entry = readdir(dev)) {
        if (isBlockDevice(entry) && std::strlen(entry->d_name) > 3 &&
            std::memcmp(entry->d_name, prefix, sizeof prefix) == 0) {
            // atoi rules, but without its undefined overflow: a number that
            // does not fit an int is no partition we could name anyway.
            const long number = std::strtol(entry->d_name + 3, nullptr, 10);
            if (number >= 0 && number <= INT_MAX) {
                numbers.push_back(static_cast<int>(number));
            }
        }
    }
    return numbers;
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
    DIR* dev = opendir(tarvex::kDevDir);
    if (dev == nullptr) {
        return probe;
    }
    probe.letter = findFirstDiskLetter(dev);
    std::vector<int> partitions;
    if (probe.letter != 0) {
        rewinddir(dev);
        partitions = listPartitionNumbers(dev, probe.letter);
    }
    closedir(dev);

    uint64_t bestSize = 0;
    for (const int number : partitions) {
        char deviceName[32];
        std::snprintf(deviceName, sizeof deviceName, "sd%c%d", probe.letter, number);
        const uint64_t size = ReadPartitionSize(deviceName);
        if (size > bestSize) {
            bestSize = size;
            probe.partition = number;
        }
    }
    return probe;
}
