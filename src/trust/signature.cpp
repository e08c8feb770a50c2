#include "trust/signature.hpp"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "base/format_text.hpp"
#include "tarvex_constants.hpp"

static_assert(crypto_sign_BYTES == std::tuple_size<decltype(SignatureFile::signature)>::value);

namespace {

bool cryptographyReady() {
    // Safe to call more than once; fails only if no source of randomness can
    // be opened, which verification does not need but the library checks.
    return sodium_init() >= 0;
}

}  // namespace

Result<std::string> verifySignature(const std::string& content, const std::string& signatureFile,
                                    const std::vector<PublicKey>& keys) {
    if (!cryptographyReady()) {
        return refuse(tarvex::kReasonNoCryptography);
    }
    const auto parsed = parseSignatureFile(signatureFile);
    if (!parsed) {
        return refuse(parsed.why());
    }
    const auto key = std::find_if(keys.begin(), keys.end(), [&parsed](const PublicKey& k) {
        return k.keyId == parsed->keyId;
    });
    if (key == keys.end()) {
        return refuse(formatText(tarvex::kReasonUntrustedKey, keyIdText(parsed->keyId).c_str()));
    }

    unsigned char digest[crypto_generichash_BYTES_MAX];
    crypto_generichash(digest, sizeof digest,
                       reinterpret_cast<const unsigned char*>(content.data()), content.size(),
                       nullptr, 0);
    if (crypto_sign_verify_detached(parsed->signature.data(), digest, sizeof digest,
                                    key->key.data()) != 0) {
        return refuse(tarvex::kReasonScriptChanged);
    }

    // The trusted comment is signed together with the signature.
    std::string signedComment(reinterpret_cast<const char*>(parsed->signature.data()),
                              parsed->signature.size());
    signedComment += parsed->trustedComment;
    if (crypto_sign_verify_detached(parsed->globalSignature.data(),
                                    reinterpret_cast<const unsigned char*>(signedComment.data()),
                                    signedComment.size(), key->key.data()) != 0) {
        return refuse(tarvex::kReasonCommentChanged);
    }
    return parsed->trustedComment;
}
