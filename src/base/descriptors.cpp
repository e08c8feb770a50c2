#include "base/descriptors.hpp"

#include <unistd.h>

#include <cerrno>

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

bool readAtMost(int fd, size_t limit, std::string& bytes) {
    bytes.clear();
    char buffer[65536];
    while (bytes.size() <= limit) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return false;
        }
        if (got == 0) {
            break;
        }
        bytes.append(buffer, static_cast<size_t>(got));
    }
    return true;
}

bool readUpTo(int fd, char* data, size_t size, size_t& got) {
    got = 0;
    while (got < size) {
        const ssize_t piece = read(fd, data + got, size - got);
        if (piece < 0 && errno == EINTR) {
            continue;
        }
        if (piece < 0) {
            return false;
        }
        if (piece == 0) {
            break;
        }
        got += static_cast<size_t>(piece);
    }
    return true;
}

void OwnedFd::reset(int fd) {
    if (fd_ >= 0) {
        const int saved = errno;
        close(fd_);
        errno = saved;
    }
    fd_ = fd;
}
