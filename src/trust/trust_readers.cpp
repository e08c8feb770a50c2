#include "trust/trust_readers.hpp"

#include <sodium.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <numeric>
#include <vector>

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

// Decodes base64 that must come to exactly `size` bytes. Pure: libsodium's
// decoder needs no sodium_init.
bool decodeExactly(const std::string& text, unsigned char* out, size_t size) {
    size_t decoded = 0;
    const char* end = nullptr;
    return sodium_base642bin(out, size, text.c_str(), text.size(), nullptr, &decoded, &end,
                             sodium_base64_VARIANT_ORIGINAL) == 0 &&
           decoded == size && end == text.c_str() + text.size();
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The value of token when it begins with prefix; counts how often it did.
bool takeToken(const std::string& token, const char* prefix, std::string& value, int& seen) {
    const size_t length = std::strlen(prefix);
    if (token.compare(0, length, prefix) != 0) {
        return false;
    }
    value = token.substr(length);
    ++seen;
    return true;
}

}  // namespace

Result<PublicKey> parsePublicKey(const std::string& text, const std::string& name) {
    const std::vector<std::string> lines = linesOf(text);
    unsigned char raw[2 + 8 + 32];
    if (lines.size() < 2 || !startsWith(lines[0], kUntrustedPrefix) ||
        !decodeExactly(lines[1], raw, sizeof raw)) {
        return refuse(formatText(tarvex::kReasonNotAPublicKey, name.c_str()));
    }
    if (std::memcmp(raw, kLegacyAlgorithm, 2) != 0) {
        return refuse(formatText(tarvex::kReasonUnknownKeyAlgorithm, name.c_str()));
    }
    PublicKey key{};
    std::memcpy(key.keyId.data(), raw + 2, key.keyId.size());
    std::memcpy(key.key.data(), raw + 10, key.key.size());
    return key;
}

Result<LogKey> parseLogKey(const std::string& text, const std::string& name) {
    const std::vector<std::string> lines = linesOf(text);
    unsigned char raw[2 + 8 + 32];
    if (lines.size() != 2 || !startsWith(lines[0], kUntrustedPrefix) ||
        !decodeExactly(lines[1], raw, sizeof raw) ||
        std::memcmp(raw, tarvex::kLogKeyAlgorithm, 2) != 0) {
        return refuse(formatText(tarvex::kReasonNotALogKey, name.c_str()));
    }
    LogKey key{};
    std::memcpy(key.keyId.data(), raw + 2, key.keyId.size());
    std::memcpy(key.key.data(), raw + 10, key.key.size());
    return key;
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

Result<SignatureFile> parseSignatureFile(const std::string& text) {
    const std::vector<std::string> lines = linesOf(text);
    SignatureFile parsed{};
    unsigned char signature[2 + 8 + 64];
    if (lines.size() < 4 || !startsWith(lines[0], kUntrustedPrefix) ||
        !decodeExactly(lines[1], signature, sizeof signature) ||
        !startsWith(lines[2], kTrustedPrefix) ||
        !decodeExactly(lines[3], parsed.globalSignature.data(), parsed.globalSignature.size())) {
        return refuse(tarvex::kReasonBadSignatureFile);
    }
    // The tag is not signed: anyone can relabel a prehashed signature as
    // legacy, which then verifies for a file holding the script's digest.
    if (std::memcmp(signature, kLegacyAlgorithm, 2) == 0) {
        return refuse(tarvex::kReasonLegacySignature);
    }
    if (std::memcmp(signature, kPrehashedAlgorithm, 2) != 0) {
        return refuse(tarvex::kReasonUnknownSignatureAlgorithm);
    }
    std::memcpy(parsed.keyId.data(), signature + 2, parsed.keyId.size());
    std::memcpy(parsed.signature.data(), signature + 10, parsed.signature.size());
    parsed.trustedComment = lines[2].substr(std::strlen(kTrustedPrefix));
    return parsed;
}

Result<ScriptPurpose> parseTrustedComment(const std::string& comment) {
    int folders = 0;
    int releases = 0;
    std::string folder;
    std::string release;
    size_t at = 0;
    while (at < comment.size()) {
        if (isBlank(comment[at])) {
            ++at;
            continue;
        }
        size_t end = at;
        while (end < comment.size() && !isBlank(comment[end])) {
            ++end;
        }
        const std::string token = comment.substr(at, end - at);
        if (!takeToken(token, tarvex::kFolderToken, folder, folders)) {
            takeToken(token, tarvex::kReleaseToken, release, releases);
        }
        at = end;
    }
    if (folders == 0 || (folders == 1 && folder.empty())) {
        return refuse(tarvex::kReasonNoFolder);
    }
    if (folders > 1) {
        return refuse(tarvex::kReasonTwoFolders);
    }
    if (releases == 0) {
        return refuse(tarvex::kReasonNoRelease);
    }
    if (releases > 1) {
        return refuse(tarvex::kReasonTwoReleases);
    }
    const auto number = parseRelease(release);
    if (!number) {
        return refuse(number.why());
    }
    return ScriptPurpose{folder, *number};
}

Result<uint64_t> parseRelease(const std::string& digits) {
    const auto notARelease = [&digits] {
        return refuse(formatText(tarvex::kReasonBadRelease, digits.c_str()));
    };
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
        return notARelease();
    }
    uint64_t value = 0;
    for (const char digit : digits) {
        const uint64_t next = static_cast<uint64_t>(digit - '0');
        if (value > (tarvex::kMaxRelease - next) / 10) {
            return notARelease();
        }
        value = value * 10 + next;
    }
    return value;
}

Result<Releases> parseReleaseState(const std::string& text) {
    if (text.empty()) {
        return refuse(tarvex::kReasonStateEmpty);
    }
    Releases releases;
    size_t start = 0;
    for (size_t number = 1; start < text.size(); ++number) {
        const size_t end = text.find('\n', start);
        // A last line without its line break is a cut-off one.
        const std::string line =
            end == std::string::npos ? std::string() : text.substr(start, end - start);
        const size_t blank = line.find(' ');
        const bool split = blank != 0 && blank != std::string::npos;
        const auto release = parseRelease(split ? line.substr(blank + 1) : std::string());
        if (!release || line.find_first_of(std::string("\t\0/", 3)) != std::string::npos) {
            return refuse(formatText(tarvex::kReasonStateBadLine, number));
        }
        if (!releases.emplace(line.substr(0, blank), *release).second) {
            return refuse(formatText(tarvex::kReasonStateRepeat, number));
        }
        start = end + 1;
    }
    return releases;
}

std::string formatReleaseState(const Releases& releases) {
    std::string text;
    for (const auto& [folder, release] : releases) {
        text += folder + " " + std::to_string(release) + "\n";
    }
    return text;
}
