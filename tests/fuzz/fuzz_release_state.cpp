// The releases file in the daemon's state directory. pi owns it, so anything
// pi runs may have rewritten it; the daemon must refuse what it cannot read,
// never misread it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "update/release_state.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Releases releases;
    std::string problem;
    if (parseReleaseState(text, releases, problem)) {
        // What it accepts, written back, reads back the same.
        Releases again;
        if (!parseReleaseState(formatReleaseState(releases), again, problem) || again != releases) {
            __builtin_trap();
        }
    } else if (problem.empty()) {
        __builtin_trap();  // a refusal must say why
    }
    return 0;
}
