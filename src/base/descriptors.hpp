// Whole reads and writes on file descriptors, retried across signals and
// short counts, and the descriptor that closes itself. Each step gives back
// errno when it fails.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <memory>
#include <string>

#include "base/result.hpp"

// Writes all size bytes of data to fd. A write that takes nothing fails with
// EIO rather than looping.
Result<Done, int> writeAll(int fd, const char* data, size_t size);

// Copies from `from` to `to` until the end of `from`.
Result<Done, int> copyContents(int from, int to);

// Reads fd until its end, or until more than limit bytes are read: one byte
// past the limit tells a file that is too large, even one that grows while it
// is read.
Result<std::string, int> readAtMost(int fd, size_t limit);

// Reads fd into data until size bytes or its end, however the kernel splits
// the reads: how many, fewer than size only at the end.
Result<size_t, int> readUpTo(int fd, char* data, size_t size);

// A descriptor that is closed when it goes out of scope, errno kept: a step
// that fails after opening it reports its own errno, not close()'s.
class OwnedFd {
public:
    OwnedFd() = default;
    explicit OwnedFd(int fd) : fd_(fd) {}
    OwnedFd(OwnedFd&& other) noexcept : fd_(other.release()) {}
    OwnedFd& operator=(OwnedFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Inline: the pass's own tests link the supervisor without this layer.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            const int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }
    // Closes it now and says whether the close worked: a write's last error
    // can come from the close (NFS, FUSE). errno as close() left it.
    Result<Done, int> close();

private:
    int fd_ = -1;
};

// A directory listing that is closed, with its descriptor, when it goes out
// of scope.
struct CloseDir {
    void operator()(DIR* listing) const { closedir(listing); }
};
using OwnedDir = std::unique_ptr<DIR, CloseDir>;
