#include "update/log_handoff.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "base/command_runner.hpp"
#include "base/descriptors.hpp"
#include "base/files.hpp"
#include "base/format_text.hpp"
#include "base/result.hpp"
#include "base/status_line.hpp"
#include "tarvex_constants.hpp"

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

// Copies the open log onto the key.
Result<> copyLogToKey(int source) {
    const auto directory = openKeyLogDirectory();
    if (!directory) {
        return refuse(directory.why());
    }
    auto written = writeLogInto(source, *directory);
    close(*directory);
    return written;
}

// Moves /home/pi/log.txt aside, unless a hand-off cut short left one there:
// that one is older and goes first, and log.txt waits for the next key.
Result<> setLogAside() {
    if (renameat2(AT_FDCWD, tarvex::kLocalLogPath, AT_FDCWD, tarvex::kLocalLogAsidePath,
                  RENAME_NOREPLACE) == 0 ||
        errno == EEXIST) {
        return Done{};
    }
    const int failure = errno;
    struct stat aside {};
    if (lstat(tarvex::kLocalLogAsidePath, &aside) == 0) {
        return Done{};
    }
    return refuse(std::strerror(failure));
}

// Puts a log that could not be handed over back under its own name, where the
// device and its maker expect it; where a new log.txt has begun meanwhile, it
// stays aside for the next hand-off.
void putLogBack() {
    renameat2(AT_FDCWD, tarvex::kLocalLogAsidePath, AT_FDCWD, tarvex::kLocalLogPath,
              RENAME_NOREPLACE);
}

// Removes the log set aside once its copy is on the key. A job still holding
// it open may have written past what was copied, up to the removal: those
// bytes go on at the end of /home/pi/log.txt, for the next hand-off.
void removeCopiedLog(int source) {
    const off_t copied = lseek(source, 0, SEEK_CUR);
    if (unlink(tarvex::kLocalLogAsidePath) != 0) {
        printStatusLine(formatText(tarvex::kLineCannotRemoveLog, std::strerror(errno)));
        return;
    }
    std::string rest;
    struct stat info {};
    if (copied < 0 || fstat(source, &info) != 0 || info.st_size <= copied ||
        !readAtMost(source, static_cast<size_t>(info.st_size - copied), rest) || rest.empty()) {
        return;
    }
    const int log = open(tarvex::kLocalLogPath,
                         O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                         info.st_mode & 07777);
    struct stat logInfo {};
    if (log >= 0 && fstat(log, &logInfo) == 0 && S_ISREG(logInfo.st_mode)) {
        writeAll(log, rest.data(), rest.size());
    }
    if (log >= 0) {
        close(log);
    }
}

}  // namespace

void handLogToKey() {
    auto handed = setLogAside();
    int source = -1;
    if (handed) {
        source = open(tarvex::kLocalLogAsidePath, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        handed = source >= 0 ? copyLogToKey(source) : refuse(std::strerror(errno));
    }
    if (handed) {
        removeCopiedLog(source);
    } else {
        printStatusLine(formatText(tarvex::kLineCannotCopyLog, handed.why().c_str()));
        putLogBack();
    }
    if (source >= 0) {
        close(source);
    }
    runCommand(tarvex::kSyncCommand);
}
