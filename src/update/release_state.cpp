#include "update/release_state.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/descriptors.hpp"
#include "base/format_text.hpp"
#include "tarvex_constants.hpp"

bool parseRelease(const std::string& digits, uint64_t& release) {
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    uint64_t value = 0;
    for (const char digit : digits) {
        const uint64_t next = static_cast<uint64_t>(digit - '0');
        if (value > (tarvex::kMaxRelease - next) / 10) {
            return false;
        }
        value = value * 10 + next;
    }
    release = value;
    return true;
}

bool parseReleaseState(const std::string& text, Releases& releases, std::string& problem) {
    releases.clear();
    if (text.empty()) {
        problem = tarvex::kReasonStateEmpty;
        return false;
    }
    size_t start = 0;
    for (size_t number = 1; start < text.size(); ++number) {
        const size_t end = text.find('\n', start);
        // A last line without its line break is a cut-off one.
        const std::string line =
            end == std::string::npos ? std::string() : text.substr(start, end - start);
        const size_t blank = line.find(' ');
        uint64_t release = 0;
        if (blank == 0 || blank == std::string::npos ||
            line.find_first_of(std::string("\t\0/", 3)) != std::string::npos ||
            !parseRelease(line.substr(blank + 1), release)) {
            problem = formatText(tarvex::kReasonStateBadLine, std::to_string(number).c_str());
            releases.clear();
            return false;
        }
        if (!releases.emplace(line.substr(0, blank), release).second) {
            problem = formatText(tarvex::kReasonStateRepeat, std::to_string(number).c_str());
            releases.clear();
            return false;
        }
        start = end + 1;
    }
    return true;
}

std::string formatReleaseState(const Releases& releases) {
    std::string text;
    for (const auto& [folder, release] : releases) {
        text += folder + " " + std::to_string(release) + "\n";
    }
    return text;
}

bool readReleaseState(Releases& releases, std::string& problem) {
    releases.clear();
    // pi owns the directory; a link there is not the daemon's file.
    const int fd = open(tarvex::kReleaseStatePath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return true;
        }
        problem = errno == ELOOP ? tarvex::kReasonStateIsALink : std::strerror(errno);
        return false;
    }
    struct stat info {};
    std::string text;
    if (fstat(fd, &info) != 0 ||
        (S_ISREG(info.st_mode) && !readAtMost(fd, tarvex::kMaxReleaseStateBytes, text))) {
        problem = std::strerror(errno);
    } else if (!S_ISREG(info.st_mode)) {
        problem = tarvex::kReasonStateNotARegularFile;
    } else if (text.size() > tarvex::kMaxReleaseStateBytes) {
        problem = formatText(tarvex::kReasonStateTooLarge,
                             std::to_string(tarvex::kMaxReleaseStateBytes).c_str());
    }
    close(fd);
    return problem.empty() && parseReleaseState(text, releases, problem);
}

bool writeReleaseState(const Releases& releases, std::string& problem) {
    const int directory = open(tarvex::kStateDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0) {
        problem = std::strerror(errno);
        return false;
    }
    const int fd = openat(directory, tarvex::kReleaseStateTempName,
                          O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    FILE* file = fd < 0 ? nullptr : fdopen(fd, "w");
    const std::string text = formatReleaseState(releases);
    bool written = file != nullptr &&
                   std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
                   std::fflush(file) == 0 && fsync(fd) == 0;
    int failure = errno;
    if (file != nullptr) {
        if (std::fclose(file) != 0 && written) {
            written = false;
            failure = errno;
        }
    } else if (fd >= 0) {
        close(fd);
    }
    if (written && renameat(directory, tarvex::kReleaseStateTempName, directory,
                            tarvex::kReleaseStateName) != 0) {
        written = false;
        failure = errno;
    }
    // The rename itself: without this a power cut could bring back the old
    // release after the new script has run. EINVAL: a file system that cannot
    // flush a directory.
    if (written && fsync(directory) != 0 && errno != EINVAL) {
        written = false;
        failure = errno;
    }
    if (!written) {
        unlinkat(directory, tarvex::kReleaseStateTempName, 0);
        problem = std::strerror(failure);
    }
    close(directory);
    return written;
}
