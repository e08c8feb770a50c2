#include "update/update_check.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "supervisor/command_runner.hpp"
#include "supervisor/status_line.hpp"
#include "tarvex_constants.hpp"
#include "update/beeper.hpp"

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

// fsync on a fresh descriptor, so the copy is on the key before the local log
// is deleted. A key can be pulled right after the look; "sync" later is too late.
bool flushToDevice(const std::string& path, int openFlags) {
    const int fd = open(path.c_str(), openFlags | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool flushed = fsync(fd) == 0;
    const int fsyncError = errno;
    close(fd);
    errno = fsyncError;  // the caller reports why the flush failed, not the close
    return flushed;
}

// Copies the local log onto the key and flushes it there. The copy never
// overwrites: a log.txt already on the key is left as it is and the copy fails.
// A directory of that name receives the file under its own name.
bool copyLogToKey(const std::string& destination) {
    std::error_code error;
    fs::path written = destination;
    if (fs::is_directory(written, error)) {
        written /= fs::path(tarvex::kLocalLogPath).filename();
    }
    const bool existedBefore = fs::exists(fs::symlink_status(written, error));
    fs::copy(tarvex::kLocalLogPath, destination, error);
    const bool flushed = !error && flushToDevice(written, O_RDONLY);
    if (!flushed) {
        const std::string reason = error ? error.message() : std::strerror(errno);
        printStatusLine(tarvex::kLineCannotCopyLog + reason + tarvex::kLineKeepingLogSuffix);
        // A partial copy would block every later hand-off, since the copy never
        // overwrites; one that was there before is not ours to remove.
        if (!existedBefore) {
            fs::remove(written, error);
        }
        return false;
    }
    // The directory entry too, where the file system supports it.
    flushToDevice(written.parent_path(), O_RDONLY | O_DIRECTORY);
    return true;
}

void handLogToKey() {
    const std::string destination = std::string(tarvex::kMountPoint) + tarvex::kKeyLogName;
    if (copyLogToKey(destination)) {
        std::error_code error;
        if (!fs::remove(tarvex::kLocalLogPath, error) && error) {
            printStatusLine(tarvex::kLineCannotRemoveLog + error.message());
        }
    }
    runCommand(tarvex::kSyncCommand);
}

}  // namespace

bool CheckForUpdate(const std::string& folderName) {
    const std::string folder = std::string(tarvex::kMountPoint) + "/" + folderName;
    if (!pathExists(folder)) {
        return false;
    }
    printStatusLine(folder + tarvex::kLineFolderFoundSuffix);
    runCommand(tarvex::kFoundSoundCommand);
    const std::string script = folder + tarvex::kUpdateScriptName;
    if (pathExists(script)) {
        startBeeping();
        const std::string command = tarvex::kScriptCommandPrefix + script;
        printStatusLine(command);
        runCommand(command);
    } else {
        runCommand(tarvex::kErrorSoundCommand);
    }
    runCommand(tarvex::kSyncCommand);
    return true;
}

void LookForUpdate() {
    if (pathExists(tarvex::kLocalLogPath)) {
        // The post-update folder is considered even when the hand-off failed:
        // the pending log says the device is past its update, and running the
        // update folder again could apply the same update twice.
        handLogToKey();
        CheckForUpdate(tarvex::kPostUpdateFolder);
    } else {
        CheckForUpdate(tarvex::kUpdateFolder);
    }
}
