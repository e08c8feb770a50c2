#include "storage/partition_sizes.hpp"

#include <algorithm>
#include <iterator>

#include "tarvex_constants.hpp"

namespace {

// A node that cannot be stat'ed (such as sda0, which a disk named sdab makes
// the probe ask for) counts as one identity, all zero, until it appears.
struct stat nodeNow(const std::string& name) {
    struct stat node {};
    if (stat((std::string(tarvex::kDevDir) + "/" + name).c_str(), &node) != 0) {
        return {};
    }
    return node;
}

}  // namespace

bool PartitionSizes::sameNode(const Known& known, const struct stat& node) {
    return known.fileSystem == node.st_dev && known.inode == node.st_ino &&
           known.device == node.st_rdev && known.changed.tv_sec == node.st_ctim.tv_sec &&
           known.changed.tv_nsec == node.st_ctim.tv_nsec;
}

PartitionSizes::Step PartitionSizes::step(const std::string& name, const struct stat& node) const {
    const auto known = lastProbe_.find(name);
    if (known == lastProbe_.end() || !sameNode(known->second, node)) {
        return Step::kRead;
    }
    if (known->second.failures == 0) {
        return Step::kKnown;
    }
    return known->second.skipsLeft == 0 ? Step::kRetry : Step::kBackedOff;
}

bool PartitionSizes::readDue(const std::string& name) const {
    const Step next = step(name, nodeNow(name));
    return next == Step::kRead || next == Step::kRetry;
}

uint64_t PartitionSizes::size(const std::string& name, bool readBackedOff,
                              uint64_t (*read)(const std::string&)) {
    const struct stat node = nodeNow(name);
    const auto already = thisProbe_.find(name);
    if (already != thisProbe_.end() && sameNode(already->second, node)) {
        return already->second.failures == 0 ? already->second.bytes : 0;
    }
    const Step next = step(name, node);
    size_t failures = 0;
    if (next != Step::kRead) {
        Known& entry = thisProbe_[name] = lastProbe_.at(name);
        if (next == Step::kKnown) {
            return entry.bytes;
        }
        if (next == Step::kBackedOff && !readBackedOff) {
            --entry.skipsLeft;
            return 0;
        }
        failures = entry.failures;
    }
    const uint64_t bytes = read(name);
    Known entry{node.st_dev, node.st_ino, node.st_rdev, node.st_ctim, bytes, 0, 0};
    if (bytes == 0) {
        constexpr size_t kSteps = std::size(tarvex::kFailedSizeSkips);
        entry.failures = failures + 1;
        if (entry.failures > tarvex::kFailedSizeRereads) {
            const size_t backOff = std::min(entry.failures - tarvex::kFailedSizeRereads, kSteps);
            entry.skipsLeft = tarvex::kFailedSizeSkips[backOff - 1];
        }
    }
    thisProbe_[name] = entry;
    return bytes;
}

bool PartitionSizes::readAgainNextProbe(const std::vector<std::string>& names) const {
    return std::any_of(names.begin(), names.end(), [this](const std::string& name) {
        const auto entry = thisProbe_.find(name);
        return entry != thisProbe_.end() && entry->second.failures > 0 &&
               entry->second.failures <= tarvex::kFailedSizeRereads;
    });
}

void PartitionSizes::endProbe() {
    lastProbe_ = std::move(thisProbe_);
    thisProbe_.clear();
}
