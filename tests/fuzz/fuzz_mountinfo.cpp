// One line of the kernel's mount table. Mount points and sources come from
// whoever named a key's label, a FUSE driver or a user mount: anything.
#include <cstddef>
#include <cstdint>
#include <string>

#include "storage/mount_table.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string line(reinterpret_cast<const char*>(data), size);
    const auto entry = parseMountInfoLine(line);
    // Unescaping only ever shortens a field, and without escapes the fields
    // are the line's own text.
    if (entry && (entry->mountPoint.size() > size || entry->source.size() > size)) {
        __builtin_trap();
    }
    if (entry && line.find('\\') == std::string::npos &&
        (line.find(entry->mountPoint) == std::string::npos ||
         line.find(entry->source) == std::string::npos)) {
        __builtin_trap();
    }
    return 0;
}
