#include "trust/release_state.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "base/files.hpp"
#include "base/format_text.hpp"
#include "tarvex_constants.hpp"

Result<Releases> readReleaseState() {
    // pi owns the directory; a link there is not the daemon's file.
    const auto file =
        readRegularFile(AT_FDCWD, tarvex::kReleaseStatePath, tarvex::kMaxReleaseStateBytes);
    if (file) {
        return parseReleaseState(file->bytes);
    }
    switch (file.why().kind) {
        case ReadRefusal::kMissing:
            return Releases{};
        case ReadRefusal::kFailed:
            return refuse(std::strerror(file.why().error));
        default:
            return refuse(readFailureText(file.why(), "it", tarvex::kMaxReleaseStateBytes));
    }
}

Result<> writeReleaseState(const Releases& releases) {
    const OwnedFd directory(
        open(tarvex::kStateDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory) {
        return refuse(std::strerror(errno));
    }
    // Durable before the script runs: a power cut must not bring back the
    // old release after the new script has run.
    const auto written =
        replaceFile(directory.get(), tarvex::kReleaseStateName, tarvex::kReleaseStateTempName, 0644,
                    formatReleaseState(releases));
    if (!written) {
        return refuse(std::strerror(written.why()));
    }
    return Done{};
}
