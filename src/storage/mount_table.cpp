#include "storage/mount_table.hpp"

#include <sys/sysmacros.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

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
    std::istringstream fields(line);
    std::string mountId, parentId, majorMinor, root, mountPoint, options, field;
    if (!(fields >> mountId >> parentId >> majorMinor >> root >> mountPoint >> options)) {
        return std::nullopt;
    }
    while (fields >> field && field != "-") {
    }
    std::string type, source;
    if (field != "-" || !(fields >> type >> source)) {
        return std::nullopt;
    }
    const auto colon = majorMinor.find(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    const auto major = std::strtoul(majorMinor.c_str(), nullptr, 10);
    const auto minor = std::strtoul(majorMinor.c_str() + colon + 1, nullptr, 10);
    return MountEntry{makedev(major, minor), unescapeMountInfoField(mountPoint),
                      unescapeMountInfoField(source)};
}

std::optional<std::vector<MountEntry>> readMountTable() {
    std::ifstream mountInfo(tarvex::kMountInfoPath);
    std::vector<MountEntry> mounts;
    std::string line;
    while (mountInfo && std::getline(mountInfo, line)) {
        if (auto entry = parseMountInfoLine(line)) {
            mounts.push_back(std::move(*entry));
        }
    }
    if (mounts.empty() || mountInfo.bad()) {
        return std::nullopt;
    }
    return mounts;
}
