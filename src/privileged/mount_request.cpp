#include "privileged/mount_request.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "tarvex_constants.hpp"

bool isKeyNodeName(const std::string& name) {
    constexpr size_t kMaxPartitionDigits = 4;
    if (name.size() < 3 || name.size() > 3 + kMaxPartitionDigits || name.compare(0, 2, "sd") != 0 ||
        name[2] < 'a' || name[2] > 'z') {
        return false;
    }
    return std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

Result<MountRequest> parseMountRequest(int argc, const char* const* argv) {
    MountRequest request;
    if (argc == 2 && std::strcmp(argv[1], tarvex::kUnmountVerb) == 0) {
        return request;
    }
    if (argc != 5 || std::strcmp(argv[1], tarvex::kMountVerb) != 0 || !isKeyNodeName(argv[2])) {
        return refuse(tarvex::kHelperUsage);
    }
    const std::string type = argv[3];
    const bool known =
        type == tarvex::kKeyFileSystemList ||
        std::any_of(std::begin(tarvex::kKeyFileSystems), std::end(tarvex::kKeyFileSystems),
                    [&type](const char* name) { return type == name; });
    const std::string options = argv[4];
    if (!known ||
        (options != tarvex::kMountOwnerOptions && options != tarvex::kMountPlainOptions)) {
        return refuse(tarvex::kHelperUsage);
    }
    request.action = MountAction::kMount;
    request.node = argv[2];
    request.type = type;
    request.owner = options == tarvex::kMountOwnerOptions;
    return request;
}
