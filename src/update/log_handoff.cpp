#include "update/log_handoff.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "base/command_runner.hpp"
#include "base/descriptors.hpp"
#include "base/files.hpp"
#include "base/format_text.hpp"
#include "base/result.hpp"
#include "base/status_line.hpp"
#include "tarvex_constants.hpp"
#include "trust/sealed_log.hpp"

namespace {

// The directory the log goes into: the key's root, or a real directory named
// log.txt there. Never through a link.
Result<OwnedFd> openKeyLogDirectory() {
    OwnedFd keyRoot(open(tarvex::kMountPoint, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!keyRoot) {
        return refuse(std::strerror(errno));
    }
    struct stat existing {};
    if (fstatat(keyRoot.get(), tarvex::kKeyLogFileName, &existing, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(existing.st_mode)) {
        return keyRoot;
    }
    OwnedFd directory(openat(keyRoot.get(), tarvex::kKeyLogFileName,
                             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory) {
        return refuse(std::strerror(errno));
    }
    return directory;
}

// Writes the open local log into directory as log.txt. A log.txt already on
// the key, or a link of that name, is never written through or overwritten.
// The copy is made under a name of its own and renamed only once flushed, so
// log.txt on a key is always whole. It gets the local log's permission bits
// and reaches the key before the local log may go: a key can be pulled right
// after the look, and "sync" later is too late. With sealTo, what is written
// is the log sealed to it, under the same names.
Result<> writeLogInto(int source, int directory, const std::optional<LogKey>& sealTo) {
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
        [source, &sealTo](int fd) {
            return sealTo ? sealLog(source, fd, *sealTo) : copyContents(source, fd);
        },
        Publish::kNoReplace);
    if (!written) {
        return refuse(std::strerror(written.why()));
    }
    return Done{};
}

// Copies the open log onto the key, sealed to sealTo if there is one.
Result<> copyLogToKey(int source, const std::optional<LogKey>& sealTo) {
    const auto directory = openKeyLogDirectory();
    if (!directory) {
        return refuse(directory.why());
    }
    return writeLogInto(source, directory->get(), sealTo);
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

// Writes bytes to the open local log and flushes them; a FIFO or device node
// of its name gets nothing.
Result<> writeFlushed(int log, const std::string& bytes) {
    struct stat info {};
    if (fstat(log, &info) != 0) {
        return refuse(std::strerror(errno));
    }
    if (!S_ISREG(info.st_mode)) {
        return refuse(tarvex::kReasonLogNotARegularFile);
    }
    const auto written = writeAll(log, bytes.data(), bytes.size());
    if (!written) {
        return refuse(std::strerror(written.why()));
    }
    if (fsync(log) != 0) {
        return refuse(std::strerror(errno));
    }
    return Done{};
}

// Puts bytes at the end of /home/pi/log.txt (made with mode when missing),
// flushed with its directory: whoever made the file since the log was set
// aside, this or a job appending by name, flushed no entry for it.
Result<> appendToLocalLog(const std::string& bytes, mode_t mode) {
    const OwnedFd log(open(tarvex::kLocalLogPath,
                           O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                           mode));
    if (!log) {
        return refuse(std::strerror(errno));
    }
    auto written = writeFlushed(log.get(), bytes);
    if (!written) {
        return written;
    }
    const std::string logPath = tarvex::kLocalLogPath;  // its directory: /home/pi
    const OwnedFd directory(
        open(logPath.substr(0, logPath.rfind('/')).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory) {
        return refuse(std::strerror(errno));
    }
    const auto flushed = flushDirectory(directory.get());
    if (!flushed) {
        return refuse(std::strerror(flushed.why()));
    }
    return Done{};
}

// Keeps what a job still holding the log set aside wrote past what has been
// read of it: read up to the size the file has now (a job that never stops
// writing is not chased) and put at the end of /home/pi/log.txt, for the next
// hand-off. False when there was nothing new.
Result<bool> keepWhatFollows(int source) {
    const off_t done = lseek(source, 0, SEEK_CUR);
    struct stat info {};
    if (done < 0 || fstat(source, &info) != 0) {
        return refuse(std::strerror(errno));
    }
    if (info.st_size <= done) {
        return false;
    }
    const auto rest = readAtMost(source, static_cast<size_t>(info.st_size - done));
    if (!rest) {
        return refuse(std::strerror(rest.why()));
    }
    if (rest->empty()) {
        return false;
    }
    const auto appended = appendToLocalLog(*rest, info.st_mode & 07777);
    if (!appended) {
        return refuse(appended.why());
    }
    return true;
}

// Removes the log set aside once its copy is on the key. What a job wrote past
// the copy is durable at the end of /home/pi/log.txt before the removal can
// reach the disk: a power cut in between leaves those lines twice, never
// nowhere. When they cannot be kept there, the log is not removed either. The
// job may go on writing into the removed file: it is read again until it stops
// growing, a bounded number of times.
void removeCopiedLog(int source) {
    const auto kept = keepWhatFollows(source);
    if (!kept) {
        printStatusLine(formatText(tarvex::kLineCannotRemoveLog, kept.why().c_str()));
        return;
    }
    if (unlink(tarvex::kLocalLogAsidePath) != 0) {
        printStatusLine(formatText(tarvex::kLineCannotRemoveLog, std::strerror(errno)));
        return;
    }
    for (int reread = 0; reread < tarvex::kLogRereadsAfterRemoval; ++reread) {
        const auto more = keepWhatFollows(source);
        if (!more || !*more) {
            break;
        }
    }
}

}  // namespace

void handLogToKey(const std::optional<LogKey>& sealTo) {
    auto handed = setLogAside();
    OwnedFd source;
    if (handed) {
        source.reset(open(tarvex::kLocalLogAsidePath, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        handed = source ? copyLogToKey(source.get(), sealTo) : refuse(std::strerror(errno));
    }
    if (handed) {
        removeCopiedLog(source.get());
    } else {
        printStatusLine(formatText(tarvex::kLineCannotCopyLog, handed.why().c_str()));
        putLogBack();
    }
    source.reset();
    runCommand(tarvex::kSyncCommand);
}
