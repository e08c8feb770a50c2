#include "update/signature.hpp"

#include <sodium.h>

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "base/format_text.hpp"
#include "tarvex_constants.hpp"

namespace {

constexpr const char* kUntrustedPrefix = "untrusted comment: ";
constexpr const char* kTrustedPrefix = "trusted comment: ";
// Algorithm tags at the start of a key or signature.
constexpr unsigned char kLegacyAlgorithm[2] = {'E', 'd'};
constexpr unsigned char kPrehashedAlgorithm[2] = {'E', 'D'};

// The file's lines, each without its line ending ("\n" or "\r\n").
std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

bool startsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Decodes base64 that must come to exactly `size` bytes.
bool decodeExactly(const std::string& text, unsigned char* out, size_t size) {
    size_t decoded = 0;
    const char* end = nullptr;
    return sodium_base642bin(out, size, text.c_str(), text.size(), nullptr, &decoded, &end,
                             sodium_base64_VARIANT_ORIGINAL) == 0 &&
           decoded == size && end == text.c_str() + text.size();
}

bool cryptographyReady() {
    // Safe to call more than once; fails only if no source of randomness can
    // be opened, which verification does not need but the library checks.
    return sodium_init() >= 0;
}

}  // namespace

bool parsePublicKey(const std::string& text, const std::string& name, PublicKey& key,
                    std::string& problem) {
    const std::vector<std::string> lines = linesOf(text);
    unsigned char raw[2 + 8 + 32];
    if (lines.size() < 2 || !startsWith(lines[0], kUntrustedPrefix) ||
        !decodeExactly(lines[1], raw, sizeof raw)) {
        problem = formatText(tarvex::kReasonNotAPublicKey, name.c_str());
        return false;
    }
    if (std::memcmp(raw, kLegacyAlgorithm, 2) != 0) {
        problem = formatText(tarvex::kReasonUnknownKeyAlgorithm, name.c_str());
        return false;
    }
    std::memcpy(key.keyId.data(), raw + 2, key.keyId.size());
    std::memcpy(key.key.data(), raw + 10, key.key.size());
    return true;
}

std::string keyIdText(const std::array<unsigned char, 8>& keyId) {
    // Stored little-endian; shown as the number it is, in hex without leading
    // zeros, as minisign names its keys.
    const uint64_t number =
        std::accumulate(keyId.rbegin(), keyId.rend(), uint64_t{0},
                        [](uint64_t high, unsigned char byte) { return (high << 8) | byte; });
    char digits[17];
    std::snprintf(digits, sizeof digits, "%" PRIX64, number);
    return digits;
}

bool verifySignature(const std::string& content, const std::string& signatureFile,
                     const std::vector<PublicKey>& keys, std::string& trustedComment,
                     std::string& refusal) {
    if (!cryptographyReady()) {
        refusal = tarvex::kReasonNoCryptography;
        return false;
    }
    const std::vector<std::string> lines = linesOf(signatureFile);
    unsigned char signature[2 + 8 + crypto_sign_BYTES];
    unsigned char globalSignature[crypto_sign_BYTES];
    if (lines.size() < 4 || !startsWith(lines[0], kUntrustedPrefix) ||
        !decodeExactly(lines[1], signature, sizeof signature) ||
        !startsWith(lines[2], kTrustedPrefix) ||
        !decodeExactly(lines[3], globalSignature, sizeof globalSignature)) {
        refusal = tarvex::kReasonBadSignatureFile;
        return false;
    }
    // The tag is not signed: anyone can relabel a prehashed signature as
    // legacy, which then verifies for a file holding the script's digest.
    if (std::memcmp(signature, kLegacyAlgorithm, 2) == 0) {
        refusal = tarvex::kReasonLegacySignature;
        return false;
    }
    if (std::memcmp(signature, kPrehashedAlgorithm, 2) != 0) {
        refusal = tarvex::kReasonUnknownSignatureAlgorithm;
        return false;
    }
    const auto key = std::find_if(keys.begin(), keys.end(), [&signature](const PublicKey& k) {
        return std::memcmp(k.keyId.data(), signature + 2, k.keyId.size()) == 0;
    });
    if (key == keys.end()) {
        std::array<unsigned char, 8> keyId{};
        std::memcpy(keyId.data(), signature + 2, keyId.size());
        refusal = formatText(tarvex::kReasonUntrustedKey, keyIdText(keyId).c_str());
        return false;
    }

    unsigned char digest[crypto_generichash_BYTES_MAX];
    crypto_generichash(digest, sizeof digest,
                       reinterpret_cast<const unsigned char*>(content.data()), content.size(),
                       nullptr, 0);
    if (crypto_sign_verify_detached(signature + 10, digest, sizeof digest, key->key.data()) != 0) {
        refusal = tarvex::kReasonScriptChanged;
        return false;
    }

    // The trusted comment is signed together with the signature.
    const std::string comment = lines[2].substr(std::strlen(kTrustedPrefix));
    std::string signedComment(reinterpret_cast<const char*>(signature + 10), crypto_sign_BYTES);
    signedComment += comment;
    if (crypto_sign_verify_detached(globalSignature,
                                    reinterpret_cast<const unsigned char*>(signedComment.data()),
                                    signedComment.size(), key->key.data()) != 0) {
        refusal = tarvex::kReasonCommentChanged;
        return false;
    }
    trustedComment = comment;
    return true;
}
