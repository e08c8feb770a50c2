#include "trust/trusted_keys.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

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
// can put another directory of keys in its place. None when they are all
// root's, else why not.
std::optional<std::string> directoryChainProblem() {
    std::string path = tarvex::kTrustedKeysDir;
    for (;;) {
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0) {
            return formatText(tarvex::kReasonCannotCheckPath, path.c_str(), std::strerror(errno));
        }
        if (!S_ISDIR(info.st_mode)) {
            return formatText(tarvex::kReasonNotADirectory, path.c_str());
        }
        if (!onlyRootCanWrite(info)) {
            return formatText(tarvex::kReasonOthersCanWrite, path.c_str());
        }
        if (path == "/") {
            return std::nullopt;
        }
        const auto slash = path.rfind('/');
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

std::optional<std::string> refusedFileKind(ReadRefusal kind, const std::string& shown,
                                           size_t limit) {
    switch (kind) {
        case ReadRefusal::kLink:
            return formatText(tarvex::kReasonIsALink, shown.c_str());
        case ReadRefusal::kNotRegular:
            return formatText(tarvex::kReasonNotARegularFile, shown.c_str());
        case ReadRefusal::kTooLarge:
            return formatText(tarvex::kReasonTooLarge, shown.c_str(),
                              std::to_string(limit).c_str());
        case ReadRefusal::kMissing:
        case ReadRefusal::kFailed:
            break;
    }
    return std::nullopt;
}

namespace {

Result<PublicKey> readKeyFile(int directory, const std::string& name) {
    const std::string path = std::string(tarvex::kTrustedKeysDir) + "/" + name;
    const auto file = readRegularFile(directory, name.c_str(), tarvex::kMaxTrustedKeyBytes);
    if (!file) {
        if (auto why = refusedFileKind(file.why().kind, path, tarvex::kMaxTrustedKeyBytes)) {
            return refuse(std::move(*why));
        }
        return refuse(formatText(tarvex::kReasonCannotReadPath, path.c_str(),
                                 std::strerror(file.why().error)));
    }
    if (!onlyRootCanWrite(file->info)) {
        return refuse(formatText(tarvex::kReasonOthersCanWrite, path.c_str()));
    }
    return parsePublicKey(file->bytes, path);
}

}  // namespace

bool isTrustModeOn() {
    struct stat info {};
    // Any answer but "not there" turns it on: a directory that cannot even be
    // checked must not let every key run.
    return lstat(tarvex::kTrustedKeysDir, &info) == 0 || errno != ENOENT;
}

Result<std::vector<PublicKey>> loadTrustedKeys() {
    if (auto problem = directoryChainProblem()) {
        return refuse(*problem);
    }
    const int directory =
        open(tarvex::kTrustedKeysDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    DIR* listing = directory < 0 ? nullptr : fdopendir(directory);
    if (listing == nullptr) {
        const int failure = errno;
        if (directory >= 0) {
            close(directory);
        }
        return refuse(formatText(tarvex::kReasonCannotReadPath, tarvex::kTrustedKeysDir,
                                 std::strerror(failure)));
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(listing)) {
        if (endsWith(entry->d_name, tarvex::kTrustedKeySuffix)) {
            names.emplace_back(entry->d_name);
        }
    }
    // In name order, so the same broken directory gives the same reason.
    std::sort(names.begin(), names.end());
    std::vector<PublicKey> keys;
    for (const std::string& name : names) {
        auto key = readKeyFile(dirfd(listing), name);
        if (!key) {
            closedir(listing);
            return refuse(key.why());
        }
        keys.push_back(*key);
    }
    closedir(listing);
    if (keys.empty()) {
        return refuse(tarvex::kReasonNoKey);
    }
    return keys;
}
