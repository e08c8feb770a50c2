#include "update/signed_script.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "tarvex_constants.hpp"
#include "update/release_state.hpp"
#include "update/signature.hpp"
#include "update/trusted_keys.hpp"

namespace {

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

// Why name in directory could not be opened: errno, or that it is a link
// (which a directory opened without following links reports as ENOTDIR).
std::string whyUnopenable(int directory, const std::string& name) {
    const int failure = errno;
    struct stat info {};
    if (fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(info.st_mode)) {
        return name + tarvex::kReasonIsALink;
    }
    return name + ": " + std::strerror(failure);
}

// Reads the file name in directory, at most limit bytes, without following a
// link or waiting on a FIFO. False, with the reason in problem, otherwise.
bool readFileOnKey(int directory, const std::string& name, size_t limit, std::string& bytes,
                   std::string& problem) {
    const int fd = openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        problem = errno == ENOENT ? tarvex::kReasonMissing + name : whyUnopenable(directory, name);
        return false;
    }
    struct stat info {};
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (!ok) {
        problem = name + tarvex::kReasonNotARegularFile;
    }
    bytes.clear();
    char buffer[65536];
    // One byte past the limit tells a file that is too large, even one that
    // grows while it is read.
    while (ok && bytes.size() <= limit) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            problem = name + ": " + std::strerror(errno);
            ok = false;
        } else if (got == 0) {
            break;
        } else {
            bytes.append(buffer, static_cast<size_t>(got));
        }
    }
    close(fd);
    if (ok && bytes.size() > limit) {
        problem =
            name + tarvex::kReasonTooLarge + std::to_string(limit) + tarvex::kReasonTooLargeUnit;
        ok = false;
    }
    return ok;
}

std::string releaseStateProblem(const std::string& problem) {
    return tarvex::kReasonReleaseStateUnreadable + problem + tarvex::kReasonReleaseStateReset;
}

// Why purpose may not run from folderName, given the releases run so far
// ("" when it may).
std::string whyNotForHere(const ScriptPurpose& purpose, const std::string& folderName,
                          const Releases& releases) {
    if (purpose.folder != folderName) {
        return tarvex::kReasonOtherFolder + purpose.folder + tarvex::kReasonOtherFolderMiddle +
               folderName;
    }
    const auto newest = releases.find(folderName);
    if (newest != releases.end() && purpose.release < newest->second) {
        return tarvex::kReasonOlderRelease + std::to_string(purpose.release) +
               tarvex::kReasonOlderReleaseMiddle + std::to_string(newest->second) +
               tarvex::kReasonOlderReleaseSuffix;
    }
    return "";
}

// Whether the verified script, signed with comment, may run from folderName.
bool fitsHere(const std::string& comment, const std::string& folderName, CheckedScript& checked) {
    if (!parseTrustedComment(comment, checked.purpose, checked.refusal)) {
        return false;
    }
    Releases releases;
    std::string problem;
    if (!readReleaseState(releases, problem)) {
        checked.refusal = releaseStateProblem(problem);
        return false;
    }
    checked.refusal = whyNotForHere(checked.purpose, folderName, releases);
    return checked.refusal.empty();
}

}  // namespace

bool parseTrustedComment(const std::string& comment, ScriptPurpose& purpose, std::string& problem) {
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
        problem = tarvex::kReasonNoFolder;
    } else if (folders > 1) {
        problem = tarvex::kReasonTwoFolders;
    } else if (releases == 0) {
        problem = tarvex::kReasonNoRelease;
    } else if (releases > 1) {
        problem = tarvex::kReasonTwoReleases;
    } else if (!parseRelease(release, purpose.release)) {
        problem = tarvex::kReleaseToken + release + tarvex::kReasonBadRelease;
    } else {
        purpose.folder = folder;
        return true;
    }
    return false;
}

CheckedScript checkSignedScript(const std::string& folderName) {
    CheckedScript checked;
    std::vector<PublicKey> keys;
    std::string problem;
    if (!loadTrustedKeys(keys, problem)) {
        checked.refusal = tarvex::kReasonNoUsableKey + problem;
        return checked;
    }
    const std::string scriptName = tarvex::kUpdateScriptName + 1;  // without its slash
    const int keyRoot = open(tarvex::kMountPoint, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int folder = keyRoot < 0 ? -1
                                   : openat(keyRoot, folderName.c_str(),
                                            O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    std::string signature;
    std::string comment;
    if (folder < 0) {
        checked.refusal = keyRoot < 0 ? whyUnopenable(AT_FDCWD, tarvex::kMountPoint)
                                      : whyUnopenable(keyRoot, folderName);
    } else if (readFileOnKey(folder, scriptName, tarvex::kMaxSignedScriptBytes, checked.bytes,
                             checked.refusal) &&
               readFileOnKey(folder, scriptName + tarvex::kSignatureSuffix,
                             tarvex::kMaxSignatureBytes, signature, checked.refusal) &&
               verifySignature(checked.bytes, signature, keys, comment, checked.refusal)) {
        checked.runnable = fitsHere(comment, folderName, checked);
    }
    if (folder >= 0) {
        close(folder);
    }
    if (keyRoot >= 0) {
        close(keyRoot);
    }
    return checked;
}

std::string recordRelease(const CheckedScript& checked) {
    // Read again: what counts is the state as it is now, just before the run.
    Releases releases;
    std::string problem;
    if (!readReleaseState(releases, problem)) {
        return releaseStateProblem(problem);
    }
    const ScriptPurpose& purpose = checked.purpose;
    std::string refusal = whyNotForHere(purpose, purpose.folder, releases);
    const auto newest = releases.find(purpose.folder);
    if (!refusal.empty() || (newest != releases.end() && newest->second == purpose.release)) {
        return refusal;
    }
    releases[purpose.folder] = purpose.release;
    if (!writeReleaseState(releases, problem)) {
        return tarvex::kReasonCannotRecordRelease + std::to_string(purpose.release) +
               tarvex::kReasonCannotRecordReleaseMiddle + problem;
    }
    return "";
}
