#include "update/update_check.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "base/command_runner.hpp"
#include "base/status_line.hpp"
#include "tarvex_constants.hpp"
#include "update/beeper.hpp"
#include "update/signed_script.hpp"
#include "update/trusted_keys.hpp"

namespace fs = std::filesystem;

namespace {

// Existence tests follow links and accept any kind of file. An error other
// than "not there" (a key that went away, a permission problem) is reported
// and treated as absent: the look must never end the daemon.
bool pathExists(const std::string& path) {
    std::error_code error;
    const bool exists = fs::exists(path, error);
    if (error) {
        printStatusLine(tarvex::kLineCannotCheck + path + ": " + error.message());
        return false;
    }
    return exists;
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            errno = written == 0 ? EIO : errno;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool copyContents(int from, int to) {
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return got == 0;
        }
        if (!writeAll(to, buffer, static_cast<size_t>(got))) {
            return false;
        }
    }
}

// The directory the log goes into: the key's root, or a real directory named
// log.txt there. Never through a link. -1 with errno on failure.
int openKeyLogDirectory() {
    const int keyRoot = open(tarvex::kMountPoint, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat existing {};
    if (keyRoot < 0 ||
        fstatat(keyRoot, tarvex::kKeyLogFileName, &existing, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(existing.st_mode)) {
        return keyRoot;
    }
    const int inside =
        openat(keyRoot, tarvex::kKeyLogFileName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const int openError = errno;
    close(keyRoot);
    errno = openError;
    return inside;
}

// Writes the open local log into a new file in directory. The file is created
// here (O_EXCL): a log.txt already on the key, or a link of that name, is never
// written through or overwritten. It gets the local log's permission bits and
// is flushed to the key before the local log may go: a key can be pulled right
// after the look, and "sync" later is too late. Returns why it failed, or "".
std::string writeLogInto(int source, int directory) {
    struct stat sourceInfo {};
    if (fstat(source, &sourceInfo) != 0) {
        return std::strerror(errno);
    }
    if (!S_ISREG(sourceInfo.st_mode)) {
        return "not a regular file";  // reading a FIFO would hang the daemon
    }
    const int created =
        openat(directory, tarvex::kKeyLogFileName,
               O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (created < 0) {
        return std::strerror(errno);
    }
    bool written = copyContents(source, created) &&
                   fchmod(created, sourceInfo.st_mode & 07777) == 0 && fsync(created) == 0;
    int failure = errno;
    if (close(created) != 0 && written) {
        written = false;
        failure = errno;
    }
    if (!written) {
        // A partial copy would block every later hand-off, since the copy
        // never overwrites; this one is ours, made above.
        unlinkat(directory, tarvex::kKeyLogFileName, 0);
        return std::strerror(failure);
    }
    // The directory entry too, where the file system supports it.
    fsync(directory);
    return "";
}

// Copies the local log onto the key; returns why it failed, or "".
std::string copyLogToKey() {
    const int source = open(tarvex::kLocalLogPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (source < 0) {
        return std::strerror(errno);
    }
    const int directory = openKeyLogDirectory();
    std::string failure = directory < 0 ? std::strerror(errno) : writeLogInto(source, directory);
    if (directory >= 0) {
        close(directory);
    }
    close(source);
    return failure;
}

void handLogToKey() {
    const std::string failure = copyLogToKey();
    if (!failure.empty()) {
        printStatusLine(tarvex::kLineCannotCopyLog + failure + tarvex::kLineKeepingLogSuffix);
    } else {
        std::error_code error;
        if (!fs::remove(tarvex::kLocalLogPath, error) && error) {
            printStatusLine(tarvex::kLineCannotRemoveLog + error.message());
        }
    }
    runCommand(tarvex::kSyncCommand);
}

// The checked bytes in sealed memory that nobody can change, on a descriptor
// that the shell and bash inherit; -1 with errno on failure.
int sealedCopy(const std::string& bytes) {
    const int memory = memfd_create(tarvex::kUpdateScriptName + 1, MFD_ALLOW_SEALING);
    if (memory < 0) {
        return -1;
    }
    if (!writeAll(memory, bytes.data(), bytes.size()) ||
        fcntl(memory, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0) {
        const int failure = errno;
        close(memory);
        errno = failure;
        return -1;
    }
    return memory;
}

// Runs the script as ever, or in trust mode only once its checked bytes are
// held where the key cannot change them and its release is recorded; bash
// then runs those bytes with $0 still the script's path on the key, where
// scripts find their payload.
void runScript(const std::string& script, const CheckedScript* checked) {
    std::string command = tarvex::kScriptCommandPrefix + script;
    int memory = -1;
    if (checked != nullptr) {
        std::string refusal = checked->refusal;
        if (checked->runnable) {
            memory = sealedCopy(checked->bytes);
            if (memory < 0) {
                refusal = tarvex::kReasonCannotHoldBytes + std::string(std::strerror(errno));
            } else {
                refusal = recordRelease(*checked);
            }
            if (!refusal.empty() && memory >= 0) {
                close(memory);
                memory = -1;
            }
        }
        if (memory < 0) {
            printStatusLine(tarvex::kLineScriptRefused + script + ": " + refusal);
            runCommand(tarvex::kErrorSoundCommand);
            return;
        }
        command = tarvex::kVerifiedScriptCommandPrefix + std::to_string(memory) +
                  tarvex::kVerifiedScriptCommandMiddle + script;
    }
    startBeeping();
    printStatusLine(tarvex::kScriptCommandPrefix + script);
    runCommand(command);
    if (memory >= 0) {
        close(memory);
    }
}

// The look at one folder. trusting: only a signed script may run; `checked`
// is that script as already read and checked, or nullptr to do it here.
bool lookAtFolder(const std::string& folderName, bool trusting, const CheckedScript* checked) {
    const std::string folder = std::string(tarvex::kMountPoint) + "/" + folderName;
    if (!pathExists(folder)) {
        return false;
    }
    // Checked before the found sound, so the bytes that run are the ones read
    // here, whatever the key does to its files from now on.
    CheckedScript checkedHere;
    if (trusting && checked == nullptr) {
        checkedHere = checkSignedScript(folderName);
        checked = &checkedHere;
    }
    printStatusLine(folder + tarvex::kLineFolderFoundSuffix);
    runCommand(tarvex::kFoundSoundCommand);
    const std::string script = folder + tarvex::kUpdateScriptName;
    if (pathExists(script)) {
        runScript(script, trusting ? checked : nullptr);
    } else {
        runCommand(tarvex::kErrorSoundCommand);
    }
    runCommand(tarvex::kSyncCommand);
    return true;
}

}  // namespace

bool CheckForUpdate(const std::string& folderName) {
    return lookAtFolder(folderName, isTrustModeOn(), nullptr);
}

void LookForUpdate() {
    const bool trusting = isTrustModeOn();
    if (!pathExists(tarvex::kLocalLogPath)) {
        lookAtFolder(tarvex::kUpdateFolder, trusting, nullptr);
        return;
    }
    // The post-update folder is considered even when the hand-off failed:
    // the pending log says the device is past its update, and running the
    // update folder again could apply the same update twice.
    if (!trusting) {
        handLogToKey();
        lookAtFolder(tarvex::kPostUpdateFolder, false, nullptr);
        return;
    }
    // A device that trusts keys hands its log only to a key that proves it is
    // one of its maker's: the one whose post-update script verifies, was
    // signed for that folder and is not older than the newest run from it.
    // Its release is recorded first, as it would be before the script runs.
    const CheckedScript postUpdate = checkSignedScript(tarvex::kPostUpdateFolder);
    const std::string refusal =
        postUpdate.runnable ? recordRelease(postUpdate) : postUpdate.refusal;
    if (refusal.empty()) {
        handLogToKey();
    } else {
        printStatusLine(tarvex::kLineLogNotHandedOver + std::string(tarvex::kMountPoint) + "/" +
                        tarvex::kPostUpdateFolder + tarvex::kUpdateScriptName + ": " + refusal +
                        tarvex::kLineKeepingLogSuffix);
    }
    lookAtFolder(tarvex::kPostUpdateFolder, true, &postUpdate);
}
