#include "base/files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/format_text.hpp"
#include "tarvex_constants.hpp"

namespace {

// A link is refused as ELOOP by O_NOFOLLOW, but as ENOTDIR or by some FUSE
// drivers otherwise: what is there says it better than errno.
bool isLink(int directory, const char* name) {
    struct stat info {};
    return fstatat(directory, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

// The rename without replacing. A file system without no-replace renames
// (FUSE drivers may refuse the flag) gets a check first: the callers own the
// directory while they write.
Result<Done, int> renameNoReplace(int directory, const char* from, const char* to) {
    if (renameat2(directory, from, directory, to, RENAME_NOREPLACE) == 0) {
        return Done{};
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return lastError();
    }
    struct stat existing {};
    if (fstatat(directory, to, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        return Refusal<int>{EEXIST};
    }
    if (renameat(directory, from, directory, to) != 0) {
        return lastError();
    }
    return Done{};
}

Result<Done, int> renameInto(int directory, const char* from, const char* to, Publish how) {
    if (how == Publish::kNoReplace) {
        return renameNoReplace(directory, from, to);
    }
    if (renameat(directory, from, directory, to) != 0) {
        return lastError();
    }
    return Done{};
}

// The bytes reach the disk under their final name, and the descriptor closes
// cleanly. What fails before the rename takes the temporary file with it.
Result<Done, int> fillAndPublish(OwnedFd file, int directory, const char* name,
                                 const char* tempName, mode_t mode,
                                 const std::function<Result<Done, int>(int)>& fill, Publish how) {
    auto written = fill(file.get());
    // fchmod: the umask must not decide who may read the file.
    if (written && (fchmod(file.get(), mode) != 0 || fsync(file.get()) != 0)) {
        written = lastError();
    }
    if (written) {
        written = renameInto(directory, tempName, name, how);
    }
    if (!written) {
        unlinkat(directory, tempName, 0);
        return written;
    }
    // FAT makes the new name's directory entry empty (no size, no first
    // cluster) and fills it in only when the file is written back: until
    // then a power cut leaves the name on an empty file. So the file is
    // synced again under its new name.
    if (fsync(file.get()) != 0) {
        return lastError();
    }
    return file.close();
}

}  // namespace

Result<FileContents, ReadFailure> readRegularFile(int directory, const char* name, size_t limit) {
    const OwnedFd fd(openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        const int error = errno;
        if (error == ENOENT) {
            return Refusal<ReadFailure>{{ReadRefusal::kMissing, error}};
        }
        return Refusal<ReadFailure>{
            {isLink(directory, name) ? ReadRefusal::kLink : ReadRefusal::kFailed, error}};
    }
    FileContents contents{};
    if (fstat(fd.get(), &contents.info) != 0) {
        return Refusal<ReadFailure>{{ReadRefusal::kFailed, errno}};
    }
    if (!S_ISREG(contents.info.st_mode)) {
        return Refusal<ReadFailure>{{ReadRefusal::kNotRegular, 0}};
    }
    auto bytes = readAtMost(fd.get(), limit);
    if (!bytes) {
        return Refusal<ReadFailure>{{ReadRefusal::kFailed, bytes.why()}};
    }
    if (bytes->size() > limit) {
        return Refusal<ReadFailure>{{ReadRefusal::kTooLarge, 0}};
    }
    contents.bytes = std::move(*bytes);
    return contents;
}

std::string readFailureText(const ReadFailure& failure, const std::string& shown, size_t limit) {
    switch (failure.kind) {
        case ReadRefusal::kMissing:
            return formatText(tarvex::kReasonMissing, shown.c_str());
        case ReadRefusal::kLink:
            return formatText(tarvex::kReasonIsALink, shown.c_str());
        case ReadRefusal::kNotRegular:
            return formatText(tarvex::kReasonNotARegularFile, shown.c_str());
        case ReadRefusal::kTooLarge:
            return formatText(tarvex::kReasonTooLarge, shown.c_str(), limit);
        case ReadRefusal::kFailed:
            break;
    }
    return formatText(tarvex::kReasonFileFailed, shown.c_str(), std::strerror(failure.error));
}

Result<Done, int> flushDirectory(int directory) {
    if (fsync(directory) == 0) {
        return Done{};
    }
    // ENOTSUP is EOPNOTSUPP on Linux.
    if (errno != EINVAL && errno != ENOTSUP) {
        return lastError();
    }
    if (syncfs(directory) != 0) {
        return lastError();
    }
    return Done{};
}

Result<OwnedFd, int> createFresh(int directory, const char* name, mode_t mode) {
    if (unlinkat(directory, name, 0) != 0 && errno != ENOENT) {
        return lastError();
    }
    OwnedFd fd(openat(directory, name,
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
    if (!fd) {
        return lastError();
    }
    return fd;
}

Result<Done, int> writeFileDurably(int directory, const char* name, const char* tempName,
                                   mode_t mode, const std::function<Result<Done, int>(int)>& fill,
                                   Publish how) {
    auto file = createFresh(directory, tempName, mode);
    if (!file) {
        return Refusal<int>{file.why()};
    }
    const auto published =
        fillAndPublish(std::move(*file), directory, name, tempName, mode, fill, how);
    if (!published) {
        return published;
    }
    // Without this a power cut can bring back the old name after the caller
    // acted on the new one.
    return flushDirectory(directory);
}

Result<Done, int> replaceFile(int directory, const char* name, const char* tempName, mode_t mode,
                              const std::string& bytes) {
    return writeFileDurably(
        directory, name, tempName, mode,
        [&bytes](int fd) { return writeAll(fd, bytes.data(), bytes.size()); }, Publish::kReplace);
}
