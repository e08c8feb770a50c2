// Signatures of update scripts in the format of the minisign tool, which
// makers use to make their keys and sign their scripts. The texts are read by
// trust_readers; the cryptography (Ed25519, BLAKE2b) is libsodium's.
#pragma once

#include <string>
#include <vector>

#include "base/result.hpp"
#include "trust/trust_readers.hpp"

// Checks the text of a .minisig file over content, as `minisign -V -H` does:
// the key id must be one of keys, the signature must verify, and so must the
// global signature over the signature and the trusted comment. Only prehashed
// signatures (BLAKE2b-512) are accepted: a legacy one is refused. The trusted
// comment, now known to be the signer's, when it verifies.
Result<std::string> verifySignature(const std::string& content, const std::string& signatureFile,
                                    const std::vector<PublicKey>& keys);
