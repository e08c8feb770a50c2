// A signature's trusted comment, which in trust mode says which folder a
// script belongs in and its release. The signature covers it, but the maker's
// own tools, or a careless maker, may put anything there.
#include <cstddef>
#include <cstdint>
#include <string>

#include "trust/trust_readers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string comment(reinterpret_cast<const char*>(data), size);
    const auto purpose = parseTrustedComment(comment);
    if (purpose) {
        // What it accepts names a folder and a release the state file can hold.
        const auto again = parseRelease(std::to_string(purpose->release));
        if (purpose->folder.empty() || !again || *again != purpose->release) {
            __builtin_trap();
        }
    } else if (purpose.why().empty()) {
        __builtin_trap();  // a refusal must say why
    }
    return 0;
}
