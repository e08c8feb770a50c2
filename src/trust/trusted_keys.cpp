#include "trust/trusted_keys.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "base/descriptors.hpp"
#include "base/files.hpp"
#include "base/format_text.hpp"
#include "tarvex_constants.hpp"

namespace {

// Only root may be able to change what a device trusts: a key that pi (or an
// update script, which runs as pi) could write would let any key in.
bool onlyRootCanWrite(const struct stat& info) {
    return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The directory and each directory above it: whoever can rename one of them
// can put another directory of keys in its place. Done when they are all
// root's, else why not.
Result<> checkDirectoryChain(const char* keysDir) {
    std::string path = keysDir;
    for (;;) {
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0) {
            return refuse(
                formatText(tarvex::kReasonCannotCheckPath, path.c_str(), std::strerror(errno)));
        }
        if (!S_ISDIR(info.st_mode)) {
            return refuse(formatText(tarvex::kReasonNotADirectory, path.c_str()));
        }
        if (!onlyRootCanWrite(info)) {
            return refuse(formatText(tarvex::kReasonOthersCanWrite, path.c_str()));
        }
        if (path == "/") {
            return Done{};
        }
        const auto slash = path.rfind('/');
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// A key file's text, once it is a regular file, small and only root's.
Result<std::string> readKeyFile(int directory, const std::string& keysDir, const std::string& name,
                                size_t limit) {
    const std::string path = keysDir + "/" + name;
    auto file = readRegularFile(directory, name.c_str(), limit);
    if (!file) {
        const ReadRefusal kind = file.why().kind;
        if (kind == ReadRefusal::kMissing || kind == ReadRefusal::kFailed) {
            return refuse(formatText(tarvex::kReasonCannotReadPath, path.c_str(),
                                     std::strerror(file.why().error)));
        }
        return refuse(readFailureText(file.why(), path, limit));
    }
    if (!onlyRootCanWrite(file->info)) {
        return refuse(formatText(tarvex::kReasonOthersCanWrite, path.c_str()));
    }
    return std::move(file->bytes);
}

// Hands each key file (NAME + suffix) in keysDir to take, with its path and
// text, in name order, so the same broken directory gives the same reason.
// Stops at the first refusal: the directory, one above it or a key file that
// someone other than root could change, or what take refuses.
Result<> readKeyDirectory(
    const char* keysDir, const char* suffix, size_t limit,
    const std::function<Result<>(const std::string&, const std::string&)>& take) {
    auto chain = checkDirectoryChain(keysDir);
    if (!chain) {
        return chain;
    }
    OwnedFd directory(open(keysDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const OwnedDir listing(directory ? fdopendir(directory.get()) : nullptr);
    if (!listing) {
        return refuse(formatText(tarvex::kReasonCannotReadPath, keysDir, std::strerror(errno)));
    }
    // The listing closes it now.
    directory.release();
    std::vector<std::string> names;
    while (const dirent* entry = readdir(listing.get())) {
        if (endsWith(entry->d_name, suffix)) {
            names.emplace_back(entry->d_name);
        }
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const auto text = readKeyFile(dirfd(listing.get()), keysDir, name, limit);
        auto taken = text ? take(std::string(keysDir) + "/" + name, *text) : refuse(text.why());
        if (!taken) {
            return taken;
        }
    }
    return Done{};
}

// Any answer but "not there" counts as there: a directory that cannot even
// be checked must not turn a check off.
bool existsAsAnything(const char* path) {
    struct stat info {};
    return lstat(path, &info) == 0 || errno != ENOENT;
}

// Every key in dir, each parsed by parse; refused as a whole when one file
// is not a key, and with noKey when there is none.
template <typename Key>
Result<std::vector<Key>> loadKeys(const char* dir, const char* suffix, size_t maxBytes,
                                  Result<Key> (*parse)(const std::string&, const std::string&),
                                  const char* noKey) {
    std::vector<Key> keys;
    const auto read = readKeyDirectory(
        dir, suffix, maxBytes,
        [&keys, parse](const std::string& path, const std::string& text) -> Result<> {
            auto key = parse(text, path);
            if (!key) {
                return refuse(key.why());
            }
            keys.push_back(*key);
            return Done{};
        });
    if (!read) {
        return refuse(read.why());
    }
    if (keys.empty()) {
        return refuse(noKey);
    }
    return keys;
}

}  // namespace

bool isTrustModeOn() { return existsAsAnything(tarvex::kTrustedKeysDir); }

Result<std::vector<PublicKey>> loadTrustedKeys() {
    return loadKeys<PublicKey>(tarvex::kTrustedKeysDir, tarvex::kTrustedKeySuffix,
                               tarvex::kMaxTrustedKeyBytes, parsePublicKey, tarvex::kReasonNoKey);
}

bool isLogSealingOn() { return existsAsAnything(tarvex::kLogKeysDir); }

Result<LogKey> loadLogKey() {
    auto keys = loadKeys<LogKey>(tarvex::kLogKeysDir, tarvex::kLogKeySuffix,
                                 tarvex::kMaxLogKeyBytes, parseLogKey, tarvex::kReasonNoLogKey);
    if (!keys) {
        return refuse(keys.why());
    }
    // A log is sealed to one key; which of two was meant is not for the
    // device to guess.
    if (keys->size() > 1) {
        return refuse(tarvex::kReasonTwoLogKeys);
    }
    return keys->front();
}
