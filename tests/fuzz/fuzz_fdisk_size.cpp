// What `fdisk -l` prints for a partition, taken as the size read takes it:
// the first line off the output, then its byte count. A key's maker chooses
// what the partition holds, and with it part of what fdisk prints.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "base/command_runner.hpp"
#include "storage/usb_key_probe.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string output(reinterpret_cast<const char*>(data), size);
    FILE* stream = fmemopen(output.data(), output.size() + 1, "r");  // +1: never size 0
    if (stream == nullptr) {
        return 0;
    }
    const auto line = readFirstLine(stream);
    std::fclose(stream);
    // A count is read from digits the line holds: never from nothing.
    if (line && parseFdiskByteCount(*line) != 0 &&
        line->find_first_of("123456789") == std::string::npos) {
        __builtin_trap();
    }
    return 0;
}
