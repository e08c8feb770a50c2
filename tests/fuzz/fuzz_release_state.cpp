// The releases file in the daemon's state directory. pi owns it, so anything
// pi runs may have rewritten it; the daemon must refuse what it cannot read,
// never misread it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "trust/trust_readers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto releases = parseReleaseState(text);
    if (releases) {
        // What it accepts, written back, reads back the same.
        const auto again = parseReleaseState(formatReleaseState(*releases));
        if (!again || *again != *releases) {
            __builtin_trap();
        }
    } else if (releases.why().empty()) {
        __builtin_trap();  // a refusal must say why
    }
    return 0;
}
