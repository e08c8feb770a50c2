// What pi may ask the root program for. The whole command line is parsed
// word by word against fixed lists, so no joined text can carry an option,
// a path or a type that the lists do not hold.
#pragma once

#include <string>

#include "base/result.hpp"

enum class MountAction { kMount, kUnmount };

struct MountRequest {
    MountAction action = MountAction::kUnmount;
    std::string node;    // a disk sdX or a partition sdXN, as named in /dev
    std::string type;    // one of the key file systems, or the list of them all
    bool owner = false;  // the key's files handed to pi (uid/gid)
};

// The request that argv[1] to argv[argc - 1] make: "mount NODE TYPE
// owner|plain" or "unmount", nothing more, nothing less. Anything else is
// refused with the usage text.
Result<MountRequest> parseMountRequest(int argc, const char* const* argv);

// sd, one disk letter, then nothing or a partition number of up to four
// digits.
bool isKeyNodeName(const std::string& name);
