// The partition sizes the probe has read, and the back-off of the reads that
// failed. Reading a size costs a privileged fdisk per partition on every pass
// while a key is in; a node with the same device number, inode and change
// time is the same insertion, whose sizes cannot have changed.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class PartitionSizes {
public:
    // Whether this probe reads the node of that name in any case: one not
    // read before or changed since, or one whose back-off has run out.
    bool readDue(const std::string& name) const;

    // The node's size for this probe: known, read now with read, or 0 while
    // its failed reads are backed off. readBackedOff: read a backed-off node
    // anyway. Asked twice in one probe, the first answer stands.
    uint64_t size(const std::string& name, bool readBackedOff,
                  uint64_t (*read)(const std::string&));

    // Whether one of names failed its read this probe and the next probe
    // reads it again (not yet backed off).
    bool readAgainNextProbe(const std::vector<std::string>& names) const;

    // The sizes this probe looked at are what the next probe knows; any
    // other node (a pulled key) is forgotten.
    void endProbe();

private:
    struct Known {
        dev_t fileSystem;
        ino_t inode;
        dev_t device;
        struct timespec changed;
        uint64_t bytes;
        // 0 when bytes was read. Otherwise the failed reads of this node in
        // a row, and how many more probes pass it over before it is read
        // again.
        size_t failures;
        int skipsLeft;
    };

    // What the last probe knew of the node, as it is now: the one decision
    // both questions above rest on.
    enum class Step { kRead, kKnown, kRetry, kBackedOff };
    Step step(const std::string& name, const struct stat& node) const;

    static bool sameNode(const Known& known, const struct stat& node);

    std::map<std::string, Known> lastProbe_;
    std::map<std::string, Known> thisProbe_;
};
