// A signature's trusted comment, which in trust mode says which folder a
// script belongs in and its release. The signature covers it, but the maker's
// own tools, or a careless maker, may put anything there.
#include <cstddef>
#include <cstdint>
#include <string>

#include "update/release_state.hpp"
#include "update/signed_script.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string comment(reinterpret_cast<const char*>(data), size);
    ScriptPurpose purpose;
    std::string problem;
    if (parseTrustedComment(comment, purpose, problem)) {
        // What it accepts names a folder and a release the state file can hold.
        uint64_t again = 0;
        if (purpose.folder.empty() || !parseRelease(std::to_string(purpose.release), again) ||
            again != purpose.release) {
            __builtin_trap();
        }
    } else if (problem.empty()) {
        __builtin_trap();  // a refusal must say why
    }
    return 0;
}
