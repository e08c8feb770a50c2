// The root program's command line, which pi writes whole, and a line of
// /etc/fstab, which names the disks the system keeps for itself. The input is
// split at NUL bytes into the program's arguments, and read whole as the
// fstab line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "privileged/mount_request.hpp"
#include "privileged/usb_disk.hpp"
#include "tarvex_constants.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::vector<std::string> words{"tarvex-mount"};
    for (size_t at = 0; at <= input.size();) {
        const size_t end = std::min(input.find('\0', at), input.size());
        words.push_back(input.substr(at, end - at));
        at = end + 1;
    }
    std::vector<const char*> argv;
    for (const std::string& word : words) {
        argv.push_back(word.c_str());
    }
    argv.push_back(nullptr);
    const auto request = parseMountRequest(static_cast<int>(words.size()), argv.data());
    // Whatever is accepted names a key's node and nothing with a slash, a
    // blank or an option in it.
    if (request && request->action == MountAction::kMount &&
        (!isKeyNodeName(request->node) ||
         request->type.find_first_of("/ -=") != std::string::npos)) {
        __builtin_trap();
    }
    // A device path is the line's own absolute path, or one of udev's link
    // directories and a name without a slash.
    const std::string path = fstabDevicePath(input);
    if (!path.empty() && path[0] != '/') {
        __builtin_trap();
    }
    return 0;
}
