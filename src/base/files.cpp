#include "base/files.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/descriptors.hpp"

namespace {

// A link is refused as ELOOP by O_NOFOLLOW, but as ENOTDIR or by some FUSE
// drivers otherwise: what is there says it better than errno.
bool isLink(int directory, const char* name) {
    struct stat info {};
    return fstatat(directory, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

bool closeKeepingErrno(int fd) {
    const int earlier = errno;
    const bool closed = close(fd) == 0;
    if (closed) {
        errno = earlier;
    }
    return closed;
}

// The rename without replacing. A file system without no-replace renames
// (FUSE drivers may refuse the flag) gets a check first: the callers own the
// directory while they write.
bool renameNoReplace(int directory, const char* from, const char* to) {
    if (renameat2(directory, from, directory, to, RENAME_NOREPLACE) == 0) {
        return true;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return false;
    }
    struct stat existing {};
    if (fstatat(directory, to, &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        errno = EEXIST;
        return false;
    }
    return renameat(directory, from, directory, to) == 0;
}

}  // namespace

Result<FileContents, ReadFailure> readRegularFile(int directory, const char* name, size_t limit) {
    const int fd = openat(directory, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT) {
            return Refusal<ReadFailure>{{ReadRefusal::kMissing, error}};
        }
        return Refusal<ReadFailure>{
            {isLink(directory, name) ? ReadRefusal::kLink : ReadRefusal::kFailed, error}};
    }
    FileContents contents{};
    ReadFailure failure{ReadRefusal::kFailed, 0};
    bool ok = fstat(fd, &contents.info) == 0;
    if (!ok) {
        failure.error = errno;
    } else if (!S_ISREG(contents.info.st_mode)) {
        failure.kind = ReadRefusal::kNotRegular;
        ok = false;
    } else if (!readAtMost(fd, limit, contents.bytes)) {
        failure.error = errno;
        ok = false;
    } else if (contents.bytes.size() > limit) {
        failure.kind = ReadRefusal::kTooLarge;
        ok = false;
    }
    close(fd);
    if (!ok) {
        return Refusal<ReadFailure>{failure};
    }
    return contents;
}

bool flushDirectory(int directory) {
    if (fsync(directory) == 0) {
        return true;
    }
    // ENOTSUP is EOPNOTSUPP on Linux.
    if (errno != EINVAL && errno != ENOTSUP) {
        return false;
    }
    return syncfs(directory) == 0;
}

int createFresh(int directory, const char* name, mode_t mode) {
    if (unlinkat(directory, name, 0) != 0 && errno != ENOENT) {
        return -1;
    }
    return openat(directory, name,
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
}

Result<Done, int> writeFileDurably(int directory, const char* name, const char* tempName,
                                   mode_t mode, const std::function<bool(int)>& fill, Publish how) {
    const int fd = createFresh(directory, tempName, mode);
    if (fd < 0) {
        return Refusal<int>{errno};
    }
    // fchmod: the umask must not decide who may read the file.
    bool written = fill(fd) && fchmod(fd, mode) == 0 && fsync(fd) == 0;
    bool renamed = false;
    if (written) {
        renamed = how == Publish::kReplace ? renameat(directory, tempName, directory, name) == 0
                                           : renameNoReplace(directory, tempName, name);
        // FAT makes the new name's directory entry empty (no size, no first
        // cluster) and fills it in only when the file is written back: until
        // then a power cut leaves the name on an empty file. So the file is
        // synced again under its new name.
        written = renamed && fsync(fd) == 0;
    }
    if (!closeKeepingErrno(fd)) {
        written = false;
    }
    if (!written) {
        const int failure = errno;
        if (!renamed) {
            unlinkat(directory, tempName, 0);
        }
        return Refusal<int>{failure};
    }
    // Without this a power cut can bring back the old name after the caller
    // acted on the new one.
    if (!flushDirectory(directory)) {
        return Refusal<int>{errno};
    }
    return Done{};
}

Result<Done, int> replaceFile(int directory, const char* name, const char* tempName, mode_t mode,
                              const std::string& bytes) {
    return writeFileDurably(
        directory, name, tempName, mode,
        [&bytes](int fd) { return writeAll(fd, bytes.data(), bytes.size()); }, Publish::kReplace);
}
