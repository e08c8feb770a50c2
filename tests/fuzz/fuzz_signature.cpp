// A key's .minisig file and its script, checked against one trusted key. The
// input is the signature file's text, a NUL, then the script's bytes (no NUL:
// all of it is the signature file, and the script is empty).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "trust/signature.hpp"

namespace {
// tests/fuzz/seed.pub: the key the seed signatures were made with.
constexpr const char* kTrustedKey =
    "untrusted comment: minisign public key 24F5DDACB47C3D3B\n"
    "RWQ7PXy0rN31JDA7nHYK/pwr+e6ICK0lirbPIP9X6+8W/rJTs3iNNHqW\n";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::vector<PublicKey> keys = [] {
        const auto parsed = parsePublicKey(kTrustedKey, "trusted.pub");
        if (!parsed) {
            std::abort();
        }
        return std::vector<PublicKey>{*parsed};
    }();
    const char* text = reinterpret_cast<const char*>(data);
    const auto* nul = static_cast<const char*>(std::memchr(text, '\0', size));
    const size_t signatureSize = nul != nullptr ? static_cast<size_t>(nul - text) : size;
    const std::string signatureFile(text, signatureSize);
    const std::string content = nul != nullptr ? std::string(nul + 1, text + size) : "";
    const auto trustedComment = verifySignature(content, signatureFile, keys);
    if (!trustedComment && trustedComment.why().empty()) {
        __builtin_trap();  // a refusal must say why
    }
    return 0;
}
