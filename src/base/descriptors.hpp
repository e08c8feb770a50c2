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
