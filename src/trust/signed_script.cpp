#include "trust/signed_script.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "base/descriptors.hpp"
#include "base/files.hpp"
#include "base/format_text.hpp"
#include "tarvex_constants.hpp"
#include "trust/release_state.hpp"
#include "trust/signature.hpp"
#include "trust/trusted_keys.hpp"

namespace {

// Why name in directory could not be opened: errno, or that it is a link
// (which a directory opened without following links reports as ENOTDIR).
std::string whyUnopenable(int directory, const std::string& name) {
    const int failure = errno;
    struct stat info {};
    const bool link =
        fstatat(directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
    return readFailureText({link ? ReadRefusal::kLink : ReadRefusal::kFailed, failure}, name, 0);
}

// The file name in directory, at most limit bytes, in the words a refused
// script's line uses.
Result<std::string> readFileOnKey(int directory, const std::string& name, size_t limit) {
    auto file = readRegularFile(directory, name.c_str(), limit);
    if (file) {
        return std::move(file->bytes);
    }
    return refuse(readFailureText(file.why(), name, limit));
}

Refusal<> releaseStateProblem(const std::string& problem) {
    return refuse(formatText(tarvex::kReasonReleaseStateUnreadable, problem.c_str()));
}

// Whether purpose may run from folderName, given the releases run so far.
Result<> fitsReleases(const ScriptPurpose& purpose, const std::string& folderName,
                      const Releases& releases) {
    if (purpose.folder != folderName) {
        return refuse(
            formatText(tarvex::kReasonOtherFolder, purpose.folder.c_str(), folderName.c_str()));
    }
    const auto newest = releases.find(folderName);
    if (newest != releases.end() && purpose.release < newest->second) {
        return refuse(formatText(tarvex::kReasonOlderRelease,
                                 static_cast<unsigned long long>(purpose.release),
                                 static_cast<unsigned long long>(newest->second)));
    }
    return Done{};
}

// The verified script, signed with comment, once it may run from folderName.
ScriptCheck fitsHere(std::string bytes, const std::string& comment, const std::string& folderName,
                     const ReleaseSource& releasesRun) {
    auto purpose = parseTrustedComment(comment);
    if (!purpose) {
        return refuse(purpose.why());
    }
    const auto releases = releasesRun();
    if (!releases) {
        return releaseStateProblem(releases.why());
    }
    const auto fits = fitsReleases(*purpose, folderName, *releases);
    if (!fits) {
        return refuse(fits.why());
    }
    return CheckedScript{std::move(bytes), std::move(*purpose)};
}

// The checked bytes in sealed memory that nobody can change, on a descriptor
// that the shell and bash inherit.
Result<OwnedFd> sealedCopy(const std::string& bytes) {
    OwnedFd memory(memfd_create(tarvex::kUpdateScriptName, MFD_ALLOW_SEALING));
    if (!memory) {
        return refuse(formatText(tarvex::kReasonCannotHoldBytes, std::strerror(errno)));
    }
    const auto written = writeAll(memory.get(), bytes.data(), bytes.size());
    if (!written) {
        return refuse(formatText(tarvex::kReasonCannotHoldBytes, std::strerror(written.why())));
    }
    if (fcntl(memory.get(), F_ADD_SEALS,
              F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        return refuse(formatText(tarvex::kReasonCannotHoldBytes, std::strerror(errno)));
    }
    return memory;
}

// The script and its signature from the folder, checked against keys.
ScriptCheck checkInFolder(int folder, const std::string& folderName,
                          const std::vector<PublicKey>& keys, const ReleaseSource& releasesRun) {
    const std::string scriptName = tarvex::kUpdateScriptName;
    auto bytes = readFileOnKey(folder, scriptName, tarvex::kMaxSignedScriptBytes);
    if (!bytes) {
        return refuse(bytes.why());
    }
    const auto signature =
        readFileOnKey(folder, scriptName + tarvex::kSignatureSuffix, tarvex::kMaxSignatureBytes);
    if (!signature) {
        return refuse(signature.why());
    }
    const auto comment = verifySignature(*bytes, *signature, keys);
    if (!comment) {
        return refuse(comment.why());
    }
    return fitsHere(std::move(*bytes), *comment, folderName, releasesRun);
}

}  // namespace

ScriptCheck checkScriptOnKey(int keyRoot, const std::string& folderName,
                             const std::vector<PublicKey>& keys, const ReleaseSource& releasesRun) {
    const OwnedFd folder(
        openat(keyRoot, folderName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) {
        return refuse(whyUnopenable(keyRoot, folderName));
    }
    return checkInFolder(folder.get(), folderName, keys, releasesRun);
}

ScriptCheck checkSignedScript(const std::string& folderName) {
    const auto keys = loadTrustedKeys();
    if (!keys) {
        return refuse(formatText(tarvex::kReasonNoUsableKey, keys.why().c_str()));
    }
    const OwnedFd keyRoot(
        open(tarvex::kMountPoint, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!keyRoot) {
        return refuse(whyUnopenable(AT_FDCWD, tarvex::kMountPoint));
    }
    return checkScriptOnKey(keyRoot.get(), folderName, *keys, readReleaseState);
}

Result<> recordRelease(const ScriptCheck& checked) {
    if (!checked) {
        return refuse(checked.why());
    }
    // Read again: what counts is the state as it is now, just before the run.
    auto releases = readReleaseState();
    if (!releases) {
        return releaseStateProblem(releases.why());
    }
    const ScriptPurpose& purpose = checked->purpose;
    auto fits = fitsReleases(purpose, purpose.folder, *releases);
    if (!fits) {
        return fits;
    }
    const auto newest = releases->find(purpose.folder);
    if (newest != releases->end() && newest->second == purpose.release) {
        return Done{};
    }
    (*releases)[purpose.folder] = purpose.release;
    const auto written = writeReleaseState(*releases);
    if (!written) {
        return refuse(formatText(tarvex::kReasonCannotRecordRelease,
                                 static_cast<unsigned long long>(purpose.release),
                                 written.why().c_str()));
    }
    return Done{};
}

Result<OwnedFd> holdForRun(const ScriptCheck& checked) {
    if (!checked) {
        return refuse(checked.why());
    }
    // The bytes first: a release is recorded only for a script that can run.
    auto memory = sealedCopy(checked->bytes);
    if (!memory) {
        return memory;
    }
    const auto recorded = recordRelease(checked);
    if (!recorded) {
        return refuse(recorded.why());
    }
    return memory;
}
