// Reading and replacing whole files where someone else may have put something
// in the way: a link, a FIFO, a device node, a file without end. Every read
// of such a file and every durable replacement goes through these two.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>

#include "base/descriptors.hpp"
#include "base/result.hpp"

// What a read found, for its caller to put into words.
enum class ReadRefusal {
    kMissing,     // nothing of that name
    kLink,        // a link, not followed
    kNotRegular,  // a directory, FIFO, device node or socket: not opened to read
    kTooLarge,    // more than the limit
    kFailed,      // the open, stat or a read failed: see error
};

struct ReadFailure {
    ReadRefusal kind;
    int error;  // errno, for kFailed
};

struct FileContents {
    std::string bytes;
    struct stat info;  // of the file read, for owner and mode checks
};

// The whole of name in directory (AT_FDCWD for a path), which must be a
// regular file and hold at most limit bytes. The last component is never
// followed, and a FIFO is never waited on. Reads until the end, however the
// kernel splits it, so a short read cuts nothing.
Result<FileContents, ReadFailure> readRegularFile(int directory, const char* name, size_t limit);

// What a read found, in the words every refusal uses, of shown (a path, a
// file's name, or "it"): "no NAME", "NAME is a link", "NAME is not a regular
// file", "NAME is larger than LIMIT bytes", "NAME: errno's text".
std::string readFailureText(const ReadFailure& failure, const std::string& shown, size_t limit);

// Flushes a directory's entries to disk (a rename or a removal in it). Where
// the file system cannot flush a directory (EINVAL, ENOTSUP: FUSE drivers), it
// syncs that whole file system instead.
Result<Done, int> flushDirectory(int directory);

// How a finished file takes its name.
enum class Publish {
    kReplace,    // over whatever file has the name
    kNoReplace,  // never over an existing one: EEXIST instead
};

// Makes name in directory a file whose contents `fill` writes to the
// descriptor it is given (or gives back why it cannot), durably: the
// bytes go to tempName, created anew after removing whatever stands there (a
// link or FIFO someone left must neither redirect nor block the write), with
// exactly `mode`; they are flushed, renamed to name, and the directory is
// flushed. On failure the errno is returned; tempName is gone, and with
// kReplace the old file stands unless only the last flush failed.
Result<Done, int> writeFileDurably(int directory, const char* name, const char* tempName,
                                   mode_t mode, const std::function<Result<Done, int>(int)>& fill,
                                   Publish how);

// The same with bytes as the contents.
Result<Done, int> replaceFile(int directory, const char* name, const char* tempName, mode_t mode,
                              const std::string& bytes);

// Creates name in directory for writing, as writeFileDurably creates its
// temporary file: whatever stood there removed first, then O_CREAT | O_EXCL,
// never following a link nor waiting on a FIFO.
Result<OwnedFd, int> createFresh(int directory, const char* name, mode_t mode);
