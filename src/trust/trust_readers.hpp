// The texts a device that trusts keys reads: a public key, a signature file,
// a signature's trusted comment and the release state. Pure: no I/O, so each
// can be tried on any bytes.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "base/result.hpp"

// A public key: the id minisign gives it and the Ed25519 key itself.
struct PublicKey {
    std::array<unsigned char, 8> keyId;
    std::array<unsigned char, 32> key;
};

// Reads the text of a public key file ("untrusted comment: ..." then the
// base64 key line). The reason names the file as `name`.
Result<PublicKey> parsePublicKey(const std::string& text, const std::string& name);

// A log key: its id and the X25519 key that logs are sealed to. Its own
// pair, never a signing key: a key that signs should not also open logs.
struct LogKey {
    std::array<unsigned char, 8> keyId;
    std::array<unsigned char, 32> key;
};

// Reads the text of a log public key file, as keygen writes it (a comment
// line, then the base64 line). The reason names the file as `name`.
Result<LogKey> parseLogKey(const std::string& text, const std::string& name);

// The key id as minisign shows it: upper-case hex, without leading zeros.
std::string keyIdText(const std::array<unsigned char, 8>& keyId);

// A .minisig file taken apart: a prehashed signature (BLAKE2b-512) by the key
// keyId, the trusted comment and the global signature over both. A legacy
// signature is refused: its tag is not signed.
struct SignatureFile {
    std::array<unsigned char, 8> keyId;
    std::array<unsigned char, 64> signature;
    std::string trustedComment;
    std::array<unsigned char, 64> globalSignature;
};

Result<SignatureFile> parseSignatureFile(const std::string& text);

// What a signature's trusted comment says its script is for.
struct ScriptPurpose {
    std::string folder;
    uint64_t release = 0;
};

// Reads a trusted comment (the text after "trusted comment: "). Tokens are
// separated by blanks or tabs; exactly one "folder:NAME" and one "release:N"
// (N decimal, 0 to 2^63-1) must be among them, and any others are ignored.
Result<ScriptPurpose> parseTrustedComment(const std::string& comment);

// Folder name to the newest release run from it.
using Releases = std::map<std::string, uint64_t>;

// A release as makers write it: decimal digits only, at most 2^63-1. Else
// kReasonBadRelease.
Result<uint64_t> parseRelease(const std::string& digits);

// Reads the state file's text: one line per folder, the folder's name, one
// blank and the release in decimal (at most 2^63-1), each line ended by a line
// break; no folder twice, and at least one line (the daemon never writes an
// empty file, so an empty one is a damaged one).
Result<Releases> parseReleaseState(const std::string& text);

// The file's text for releases, as parseReleaseState reads it.
std::string formatReleaseState(const Releases& releases);
