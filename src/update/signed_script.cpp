#include "update/signed_script.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/descriptors.hpp"
#include "base/format_text.hpp"
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
        return formatText(tarvex::kReasonIsALink, name.c_str());
    }
    return formatText(tarvex::kReasonFileFailed, name.c_str(), std::strerror(failure));
}

// Reads the file name in directory, at most limit bytes, without following a
// link or waiting on a FIFO. False, with the reason in problem, otherwise.
bool readFileOnKey(int directory, const std::string& name, size_t limit, std::string& bytes,
                   std::string& problem) {
    const int fd = openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        problem = errno == ENOENT ? formatText(tarvex::kReasonMissing, name.c_str())
                                  : whyUnopenable(directory, name);
        return false;
    }
    struct stat info {};
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (!ok) {
        problem = formatText(tarvex::kReasonNotARegularFile, name.c_str());
    } else if (!readAtMost(fd, limit, bytes)) {
        problem = formatText(tarvex::kReasonFileFailed, name.c_str(), std::strerror(errno));
        ok = false;
    } else if (bytes.size() > limit) {
        problem = formatText(tarvex::kReasonTooLarge, name.c_str(), std::to_string(limit).c_str());
        ok = false;
    }
    close(fd);
    return ok;
}

std::string releaseStateProblem(const std::string& problem) {
    return formatText(tarvex::kReasonReleaseStateUnreadable, problem.c_str());
}

// Whether purpose may run from folderName, given the releases run so far.
// False, with the reason in `refusal`, otherwise.
bool fitsReleases(const ScriptPurpose& purpose, const std::string& folderName,
                  const Releases& releases, std::string& refusal) {
    if (purpose.folder != folderName) {
        refusal =
            formatText(tarvex::kReasonOtherFolder, purpose.folder.c_str(), folderName.c_str());
        return false;
    }
    const auto newest = releases.find(folderName);
    if (newest != releases.end() && purpose.release < newest->second) {
        refusal = formatText(tarvex::kReasonOlderRelease, std::to_string(purpose.release).c_str(),
                             std::to_string(newest->second).c_str());
        return false;
    }
    return true;
}

// Whether the verified script, signed with comment, may run from folderName.
// False, with the reason in `checked.refusal`, otherwise.
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
    return fitsReleases(checked.purpose, folderName, releases, checked.refusal);
}

// The checked bytes in sealed memory that nobody can change, on a descriptor
// that the shell and bash inherit. False, with the reason in `refusal`,
// otherwise.
bool sealedCopy(const std::string& bytes, int& memory, std::string& refusal) {
    memory = memfd_create(tarvex::kUpdateScriptName, MFD_ALLOW_SEALING);
    if (memory >= 0 && (!writeAll(memory, bytes.data(), bytes.size()) ||
                        fcntl(memory, F_ADD_SEALS,
                              F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0)) {
        const int failure = errno;
        close(memory);
        memory = -1;
        errno = failure;
    }
    if (memory < 0) {
        refusal = formatText(tarvex::kReasonCannotHoldBytes, std::strerror(errno));
        return false;
    }
    return true;
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
        problem = formatText(tarvex::kReasonBadRelease, release.c_str());
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
        checked.refusal = formatText(tarvex::kReasonNoUsableKey, problem.c_str());
        return checked;
    }
    const std::string scriptName = tarvex::kUpdateScriptName;
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

bool recordRelease(const CheckedScript& checked, std::string& refusal) {
    if (!checked.runnable) {
        refusal = checked.refusal;
        return false;
    }
    // Read again: what counts is the state as it is now, just before the run.
    Releases releases;
    std::string problem;
    if (!readReleaseState(releases, problem)) {
        refusal = releaseStateProblem(problem);
        return false;
    }
    const ScriptPurpose& purpose = checked.purpose;
    if (!fitsReleases(purpose, purpose.folder, releases, refusal)) {
        return false;
    }
    const auto newest = releases.find(purpose.folder);
    if (newest != releases.end() && newest->second == purpose.release) {
        return true;
    }
    releases[purpose.folder] = purpose.release;
    if (!writeReleaseState(releases, problem)) {
        refusal = formatText(tarvex::kReasonCannotRecordRelease,
                             std::to_string(purpose.release).c_str(), problem.c_str());
        return false;
    }
    return true;
}

bool holdForRun(const CheckedScript& checked, int& memory, std::string& refusal) {
    memory = -1;
    if (!checked.runnable) {
        refusal = checked.refusal;
        return false;
    }
    // The bytes first: a release is recorded only for a script that can run.
    if (!sealedCopy(checked.bytes, memory, refusal)) {
        return false;
    }
    if (!recordRelease(checked, refusal)) {
        close(memory);
        memory = -1;
        return false;
    }
    return true;
}
