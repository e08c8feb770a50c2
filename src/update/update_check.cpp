#include "update/update_check.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

#include "base/command_runner.hpp"
#include "base/descriptors.hpp"
#include "base/files.hpp"
#include "base/format_text.hpp"
#include "base/status_line.hpp"
#include "tarvex_constants.hpp"
#include "update/beeper.hpp"
#include "update/signed_script.hpp"
#include "update/trusted_keys.hpp"

namespace fs = std::filesystem;

namespace {

std::string folderOnKey(const std::string& folderName) {
    return std::string(tarvex::kMountPoint) + "/" + folderName;
}

std::string scriptIn(const std::string& folder) { return folder + "/" + tarvex::kUpdateScriptName; }

// Existence tests follow links and accept any kind of file. An error other
// than "not there" (a key that went away, a permission problem) is reported
// and treated as absent: the look must never end the daemon.
bool pathExists(const std::string& path) {
    std::error_code error;
    const bool exists = fs::exists(path, error);
    if (error) {
        printStatusLine(
            formatText(tarvex::kLineCannotCheck, path.c_str(), error.message().c_str()));
        return false;
    }
    return exists;
}

// The directory the log goes into: the key's root, or a real directory named
// log.txt there. Never through a link.
Result<int> openKeyLogDirectory() {
    int directory = -1;
    const int keyRoot = open(tarvex::kMountPoint, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat existing {};
    if (keyRoot < 0 ||
        fstatat(keyRoot, tarvex::kKeyLogFileName, &existing, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(existing.st_mode)) {
        directory = keyRoot;
    } else {
        directory = openat(keyRoot, tarvex::kKeyLogFileName,
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int openError = errno;
        close(keyRoot);
        errno = openError;
    }
    if (directory < 0) {
        return refuse(std::strerror(errno));
    }
    return directory;
}

// Writes the open local log into directory as log.txt. A log.txt already on
// the key, or a link of that name, is never written through or overwritten.
// The copy is made under a name of its own and renamed only once flushed, so
// log.txt on a key is always whole. It gets the local log's permission bits
// and reaches the key before the local log may go: a key can be pulled right
// after the look, and "sync" later is too late.
Result<> writeLogInto(int source, int directory) {
    struct stat sourceInfo {};
    if (fstat(source, &sourceInfo) != 0) {
        return refuse(std::strerror(errno));
    }
    if (!S_ISREG(sourceInfo.st_mode)) {
        return refuse(tarvex::kReasonLogNotARegularFile);
    }
    struct stat existing {};
    if (fstatat(directory, tarvex::kKeyLogFileName, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        return refuse(std::strerror(EEXIST));
    }
    const auto written = writeFileDurably(
        directory, tarvex::kKeyLogFileName, tarvex::kKeyLogPartialName, sourceInfo.st_mode & 07777,
        [source](int fd) { return copyContents(source, fd); }, Publish::kNoReplace);
    if (!written) {
        return refuse(std::strerror(written.why()));
    }
    return Done{};
}

// Copies the local log onto the key.
Result<> copyLogToKey() {
    const int source = open(tarvex::kLocalLogPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (source < 0) {
        return refuse(std::strerror(errno));
    }
    const auto directory = openKeyLogDirectory();
    Result<> copied = directory ? writeLogInto(source, *directory) : refuse(directory.why());
    if (directory) {
        close(*directory);
    }
    close(source);
    return copied;
}

void handLogToKey() {
    const auto copied = copyLogToKey();
    if (!copied) {
        printStatusLine(formatText(tarvex::kLineCannotCopyLog, copied.why().c_str()));
    } else {
        std::error_code error;
        if (!fs::remove(tarvex::kLocalLogPath, error) && error) {
            printStatusLine(formatText(tarvex::kLineCannotRemoveLog, error.message().c_str()));
        }
    }
    runCommand(tarvex::kSyncCommand);
}

// A device that trusts keys hands its log only to a key that proves it is one
// of its maker's: the one whose post-update script (`checked`) verifies, was
// signed for that folder and is not older than the newest run from it. Its
// release is recorded first, as it would be before the script runs. Any other
// device hands its log to every key.
bool mayHandLogToKey(const std::optional<ScriptCheck>& checked) {
    if (!checked) {
        return true;
    }
    const auto recorded = recordRelease(*checked);
    if (recorded) {
        return true;
    }
    const std::string script = scriptIn(folderOnKey(tarvex::kPostUpdateFolder));
    printStatusLine(
        formatText(tarvex::kLineLogNotHandedOver, script.c_str(), recorded.why().c_str()));
    return false;
}

// Runs the script as ever, or, on a device that trusts keys (`checked`), only
// once its checked bytes are held where the key cannot change them and its
// release is recorded; bash then runs those bytes with $0 still the script's
// path on the key, where scripts find their payload.
void runScript(const std::string& script, const std::optional<ScriptCheck>& checked) {
    std::string command = formatText(tarvex::kScriptCommand, script.c_str());
    int memory = -1;
    if (checked) {
        const auto held = holdForRun(*checked);
        if (!held) {
            printStatusLine(
                formatText(tarvex::kLineScriptRefused, script.c_str(), held.why().c_str()));
            runCommand(tarvex::kErrorSoundCommand);
            return;
        }
        memory = *held;
        command = formatText(tarvex::kCheckedScriptCommand, memory, script.c_str());
    }
    startBeeping();
    printStatusLine(formatText(tarvex::kScriptCommand, script.c_str()));
    runCommand(command);
    if (memory >= 0) {
        close(memory);
    }
}

}  // namespace

bool CheckForUpdate(const std::string& folderName, const std::optional<ScriptCheck>& checked) {
    const std::string folder = folderOnKey(folderName);
    if (!pathExists(folder)) {
        return false;
    }
    printStatusLine(formatText(tarvex::kLineFolderFound, folder.c_str()));
    runCommand(tarvex::kFoundSoundCommand);
    const std::string script = scriptIn(folder);
    if (pathExists(script)) {
        runScript(script, checked);
    } else {
        runCommand(tarvex::kErrorSoundCommand);
    }
    runCommand(tarvex::kSyncCommand);
    return true;
}

void LookForUpdate() {
    // With a log pending, the post-update folder is considered even when the
    // hand-off fails: the log says the device is past its update, and running
    // the update folder again could apply the same update twice.
    const bool logPending = pathExists(tarvex::kLocalLogPath);
    const char* folderName = logPending ? tarvex::kPostUpdateFolder : tarvex::kUpdateFolder;
    // Read and checked once, first: the hand-off is decided and the script
    // run on the bytes read here, whatever the key does to its files from now
    // on.
    std::optional<ScriptCheck> checked;
    if (isTrustModeOn()) {
        checked = checkSignedScript(folderName);
    }
    if (logPending && mayHandLogToKey(checked)) {
        handLogToKey();
    }
    CheckForUpdate(folderName, checked);
}
