#include "update/log_handoff.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "base/command_runner.hpp"
#include "base/descriptors.hpp"
#include "base/files.hpp"
#include "base/format_text.hpp"
#include "base/result.hpp"
#include "base/status_line.hpp"
#include "tarvex_constants.hpp"

namespace fs = std::filesystem;

namespace {

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

}  // namespace

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
