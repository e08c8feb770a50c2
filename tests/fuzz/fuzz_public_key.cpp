// A trusted key file's text, as the trusted-keys directory may hold anything.
#include <cstddef>
#include <cstdint>
#include <string>

#include "trust/trust_readers.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const auto key = parsePublicKey(text, "key.pub");
    if (key) {
        // A parsed key always has an id to name it by.
        if (keyIdText(key->keyId).empty()) {
            __builtin_trap();
        }
    } else if (key.why().empty()) {
        __builtin_trap();  // a refusal must say why
    }
    return 0;
}
