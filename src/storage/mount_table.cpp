#include "storage/mount_table.hpp"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "tarvex_constants.hpp"

namespace {

// mountinfo escapes blanks, tabs, newlines and backslashes as \ooo.
std::string unescapeMountInfoField(const std::string& field) {
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        const bool octalEscape = field[i] == '\\' && i + 3 < field.size() &&
                                 field.find_first_not_of("01234567", i + 1) >= i + 4;
        if (octalEscape) {
            text += static_cast<char>(std::strtol(field.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
            continue;
        }
        text += field[i];
    }
    return text;
}

}  // namespace

std::optional<MountEntry> parseMountInfoLine(const std::string& line) {
    // ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPEROPTIONS
    // Split by hand: a key pass reads the whole table, every pass.
    std::vector<std::string> fields;
    size_t start = line.find_first_not_of(' ');
    while (start != std::string::npos) {
        const size_t end = line.find(' ', start);
        fields.push_back(line.substr(start, end - start));
        start = end == std::string::npos ? end : line.find_first_not_of(' ', end);
    }
    size_t separator = 6;
    while (separator < fields.size() && fields[separator] != "-") {
        ++separator;
    }
    if (separator + 2 >= fields.size()) {
        return std::nullopt;
    }
    const std::string& majorMinor = fields[2];
    const auto colon = majorMinor.find(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    const auto major = std::strtoul(majorMinor.c_str(), nullptr, 10);
    const auto minor = std::strtoul(majorMinor.c_str() + colon + 1, nullptr, 10);
    const int id = static_cast<int>(std::strtol(fields[0].c_str(), nullptr, 10));
    const int parent = static_cast<int>(std::strtol(fields[1].c_str(), nullptr, 10));
    return MountEntry{id, parent, makedev(major, minor), unescapeMountInfoField(fields[4]),
                      unescapeMountInfoField(fields[separator + 2])};
}

Result<std::vector<MountEntry>, int> readMountTable() {
    std::ifstream mountInfo(tarvex::kMountInfoPath);
    if (!mountInfo) {
        return lastError();
    }
    std::vector<MountEntry> mounts;
    std::string line;
    while (mountInfo && std::getline(mountInfo, line)) {
        if (auto entry = parseMountInfoLine(line)) {
            mounts.push_back(std::move(*entry));
        }
    }
    if (mounts.empty() || mountInfo.bad()) {
        return Refusal<int>{EIO};
    }
    return mounts;
}

bool mountsAtOrBelow(const char* path) {
    const auto mounts = readMountTable();
    if (!mounts) {
        return true;
    }
    const std::string target = path;
    return std::any_of(mounts->begin(), mounts->end(), [&target](const MountEntry& mount) {
        const std::string& point = mount.mountPoint;
        return point == target ||
               (point.size() > target.size() && point.compare(0, target.size(), target) == 0 &&
                point[target.size()] == '/');
    });
}
