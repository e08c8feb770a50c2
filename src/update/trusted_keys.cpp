#include "update/trusted_keys.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/format_text.hpp"
#include "tarvex_constants.hpp"

namespace {

// Only root may be able to change what a device trusts: a key that pi (or an
// update script, which runs as pi) could write would let any key in.
bool onlyRootCanWrite(const struct stat& info) {
    return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The directory and each directory above it: whoever can rename one of them
// can put another directory of keys in its place.
bool directoryChainIsRoots(std::string& problem) {
    std::string path = tarvex::kTrustedKeysDir;
    for (;;) {
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0) {
            problem =
                formatText(tarvex::kReasonCannotCheckPath, path.c_str(), std::strerror(errno));
            return false;
        }
        if (!S_ISDIR(info.st_mode)) {
            problem = formatText(tarvex::kReasonNotADirectory, path.c_str());
            return false;
        }
        if (!onlyRootCanWrite(info)) {
            problem = formatText(tarvex::kReasonOthersCanWrite, path.c_str());
            return false;
        }
        if (path == "/") {
            return true;
        }
        const auto slash = path.rfind('/');
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool readKeyFile(int directory, const std::string& name, PublicKey& key, std::string& problem) {
    const std::string path = std::string(tarvex::kTrustedKeysDir) + "/" + name;
    const int fd = openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        problem = errno == ELOOP ? formatText(tarvex::kReasonIsALink, path.c_str())
                                 : formatText(tarvex::kReasonCannotReadPath, path.c_str(),
                                              std::strerror(errno));
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    std::string text;
    if (!S_ISREG(info.st_mode)) {
        problem = formatText(tarvex::kReasonNotARegularFile, path.c_str());
    } else if (!onlyRootCanWrite(info)) {
        problem = formatText(tarvex::kReasonOthersCanWrite, path.c_str());
    } else {
        char buffer[4096];
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0) {
            problem = formatText(tarvex::kReasonCannotReadPath, path.c_str(), std::strerror(errno));
        } else {
            text.assign(buffer, static_cast<size_t>(got));
        }
    }
    close(fd);
    return problem.empty() && parsePublicKey(text, path, key, problem);
}

}  // namespace

bool isTrustModeOn() {
    struct stat info {};
    // Any answer but "not there" turns it on: a directory that cannot even be
    // checked must not let every key run.
    return lstat(tarvex::kTrustedKeysDir, &info) == 0 || errno != ENOENT;
}

bool loadTrustedKeys(std::vector<PublicKey>& keys, std::string& problem) {
    keys.clear();
    problem.clear();
    if (!directoryChainIsRoots(problem)) {
        return false;
    }
    const int directory =
        open(tarvex::kTrustedKeysDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* listing = directory < 0 ? nullptr : fdopendir(directory);
    if (listing == nullptr) {
        problem = formatText(tarvex::kReasonCannotReadPath, tarvex::kTrustedKeysDir,
                             std::strerror(errno));
        if (directory >= 0) {
            close(directory);
        }
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(listing)) {
        if (endsWith(entry->d_name, tarvex::kTrustedKeySuffix)) {
            names.emplace_back(entry->d_name);
        }
    }
    // In name order, so the same broken directory gives the same reason.
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        PublicKey key{};
        if (!readKeyFile(dirfd(listing), name, key, problem)) {
            break;
        }
        keys.push_back(key);
    }
    closedir(listing);
    if (problem.empty() && keys.empty()) {
        problem = tarvex::kReasonNoKey;
    }
    return problem.empty();
}
