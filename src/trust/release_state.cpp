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
        case ReadRefusal::kLink:
            return refuse(tarvex::kReasonStateIsALink);
        case ReadRefusal::kNotRegular:
            return refuse(tarvex::kReasonStateNotARegularFile);
        case ReadRefusal::kTooLarge:
            return refuse(formatText(tarvex::kReasonStateTooLarge,
                                     std::to_string(tarvex::kMaxReleaseStateBytes).c_str()));
        case ReadRefusal::kFailed:
            break;
    }
    return refuse(std::strerror(file.why().error));
}

Result<> writeReleaseState(const Releases& releases) {
    const int directory = open(tarvex::kStateDir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0) {
        return refuse(std::strerror(errno));
    }
    // Durable before the script runs: a power cut must not bring back the
    // old release after the new script has run.
    const auto written =
        replaceFile(directory, tarvex::kReleaseStateName, tarvex::kReleaseStateTempName, 0644,
                    formatReleaseState(releases));
    close(directory);
    if (!written) {
        return refuse(std::strerror(written.why()));
    }
    return Done{};
}
