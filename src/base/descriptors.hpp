// Whole reads and writes on file descriptors, retried across signals and
// short counts. Each returns false with errno set when it fails.
#pragma once

#include <cstddef>
#include <string>

// Writes all size bytes of data to fd. A write that takes nothing fails with
// EIO rather than looping.
bool writeAll(int fd, const char* data, size_t size);

// Copies from `from` to `to` until the end of `from`.
bool copyContents(int from, int to);

// Reads fd into bytes until its end, or until bytes holds more than limit:
// one byte past the limit tells a file that is too large, even one that grows
// while it is read. bytes holds what was read, also after a failure.
bool readAtMost(int fd, size_t limit, std::string& bytes);

// Reads fd into data until size bytes or its end, however the kernel splits
// the reads; got says how many, fewer than size only at the end.
bool readUpTo(int fd, char* data, size_t size, size_t& got);

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
    void reset(int fd = -1);

private:
    int fd_ = -1;
};
