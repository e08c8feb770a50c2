// Signatures of update scripts in the format of the minisign tool, which
// makers use to make their keys and sign their scripts. The format is parsed
// here; the cryptography (Ed25519, BLAKE2b) is libsodium's.
#pragma once

#include <array>
#include <string>
#include <vector>

// A public key: the id minisign gives it and the Ed25519 key itself.
struct PublicKey {
    std::array<unsigned char, 8> keyId;
    std::array<unsigned char, 32> key;
};

// Reads the text of a public key file ("untrusted comment: ..." then the
// base64 key line). False, with what is wrong in `problem`, which names the
// file as `name`, when it is not one.
bool parsePublicKey(const std::string& text, const std::string& name, PublicKey& key,
                    std::string& problem);

// The key id as minisign shows it: upper-case hex, without leading zeros.
std::string keyIdText(const std::array<unsigned char, 8>& keyId);

// Checks the text of a .minisig file over content, as `minisign -V -H` does:
// the key id must be one of keys, the signature must verify, and so must the
// global
// signature over the signature and the trusted comment. Only prehashed
// signatures (BLAKE2b-512) are accepted: a legacy one is refused. True with
// the trusted comment, now known to be the signer's, in `trustedComment`;
// false, with the reason in `refusal`, otherwise.
bool verifySignature(const std::string& content, const std::string& signatureFile,
                     const std::vector<PublicKey>& keys, std::string& trustedComment,
                     std::string& refusal);
