#include "base/descriptors.hpp"

#include <unistd.h>

#include <cerrno>

Result<Done, int> writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return Refusal<int>{written == 0 ? EIO : errno};
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return Done{};
}

Result<Done, int> copyContents(int from, int to) {
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(from, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return lastError();
        }
        if (got == 0) {
            return Done{};
        }
        const auto written = writeAll(to, buffer, static_cast<size_t>(got));
        if (!written) {
            return written;
        }
    }
}

Result<std::string, int> readAtMost(int fd, size_t limit) {
    std::string bytes;
    char buffer[65536];
    while (bytes.size() <= limit) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return lastError();
        }
        if (got == 0) {
            break;
        }
        bytes.append(buffer, static_cast<size_t>(got));
    }
    return bytes;
}

Result<size_t, int> readUpTo(int fd, char* data, size_t size) {
    size_t got = 0;
    while (got < size) {
        const ssize_t piece = read(fd, data + got, size - got);
        if (piece < 0 && errno == EINTR) {
            continue;
        }
        if (piece < 0) {
            return lastError();
        }
        if (piece == 0) {
            break;
        }
        got += static_cast<size_t>(piece);
    }
    return got;
}

Result<Done, int> OwnedFd::close() {
    const int fd = release();
    if (fd >= 0 && ::close(fd) != 0) {
        return lastError();
    }
    return Done{};
}
