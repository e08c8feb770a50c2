// tarvex-key-check: what a device would decide about a key, decided by the
// daemon's own code. tools/tarvex-key runs it on a maker's computer; it reads
// the key as the daemon does (no link followed, no size trusted) and runs
// nothing from it.
//
//   tarvex-key-check KEY_ROOT [--pending-log] [--released FOLDER=N]...
//                    [--state RELEASE_STATE_FILE] [--trust PUBLIC_KEY]...
//
// Prints the folder a device would look at, then either "runs: ..." or the
// lines the device would print, and exits 0 when the script would run, 1 when
// not, 2 for bad use.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "base/descriptors.hpp"
#include "base/files.hpp"
#include "base/format_text.hpp"
#include "tarvex_constants.hpp"
#include "trust/signed_script.hpp"
#include "trust/trust_readers.hpp"
#include "update/update_check.hpp"

namespace {

constexpr int kRuns = 0;
constexpr int kRefused = 1;
constexpr int kBadUse = 2;

int badUse(const std::string& why) {
    std::fprintf(stderr, "tarvex-key-check: %s\n", why.c_str());
    return kBadUse;
}

struct Request {
    std::string keyRoot;
    bool logPending = false;
    Releases released;
    std::vector<PublicKey> keys;
};

// The trusted key named on the command line, read as a maker's file (the
// device's own checks of who may write its keys are the device's).
Result<> addKey(const std::string& path, Request& request) {
    const auto file = readRegularFile(AT_FDCWD, path.c_str(), tarvex::kMaxTrustedKeyBytes);
    if (!file) {
        return refuse(path + ": cannot read it as a key file");
    }
    const auto key = parsePublicKey(file->bytes, path);
    if (!key) {
        return refuse(key.why());
    }
    request.keys.push_back(*key);
    return Done{};
}

Result<> addRelease(const std::string& pair, Request& request) {
    const auto equals = pair.find('=');
    const auto release =
        parseRelease(equals == std::string::npos ? std::string() : pair.substr(equals + 1));
    if (!release || equals == 0) {
        return refuse("--released " + pair + ": not FOLDER=RELEASE");
    }
    request.released[pair.substr(0, equals)] = *release;
    return Done{};
}

// A device's release state file, as the daemon reads its text.
Result<> addState(const std::string& path, Request& request) {
    const auto file = readRegularFile(AT_FDCWD, path.c_str(), tarvex::kMaxReleaseStateBytes);
    const auto releases = file ? parseReleaseState(file->bytes) : refuse("cannot read it");
    if (!releases) {
        return refuse("--state " + path + ": " + releases.why());
    }
    request.released.insert(releases->begin(), releases->end());
    return Done{};
}

Result<Request> parseArguments(int argc, char** argv) {
    Request request;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool hasValue = i + 1 < argc;
        Result<> added = Done{};
        if (argument == "--pending-log") {
            request.logPending = true;
        } else if (argument == "--trust" && hasValue) {
            added = addKey(argv[++i], request);
        } else if (argument == "--state" && hasValue) {
            added = addState(argv[++i], request);
        } else if (argument == "--released" && hasValue) {
            added = addRelease(argv[++i], request);
        } else if (request.keyRoot.empty() && !argument.empty() && argument[0] != '-') {
            request.keyRoot = argument;
        } else {
            added = refuse(
                "usage: tarvex-key-check KEY_ROOT [--pending-log] [--released FOLDER=N]... "
                "[--state FILE] [--trust PUBLIC_KEY]...");
        }
        if (!added) {
            return refuse(added.why());
        }
    }
    if (request.keyRoot.empty()) {
        return refuse("no key root given");
    }
    return request;
}

// Who signed the script that verified: the key id in its signature file.
std::string signerOf(int keyRoot, const std::string& folderName) {
    const OwnedFd folder(
        openat(keyRoot, folderName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const std::string name = std::string(tarvex::kUpdateScriptName) + tarvex::kSignatureSuffix;
    const auto file = readRegularFile(folder.get(), name.c_str(), tarvex::kMaxSignatureBytes);
    const auto parsed = file ? parseSignatureFile(file->bytes) : refuse("");
    return parsed ? keyIdText(parsed->keyId) : "?";
}

int decide(const Request& request) {
    const OwnedFd keyRoot(
        open(request.keyRoot.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!keyRoot) {
        return badUse(request.keyRoot + ": " + std::strerror(errno));
    }
    const std::string folderName = folderToLookAt(request.logPending);
    const std::string script =
        std::string(tarvex::kMountPoint) + "/" + folderName + "/" + tarvex::kUpdateScriptName;
    std::printf("folder: %s\n", folderName.c_str());
    // As the look tests it: any kind of file, links followed.
    struct stat info {};
    if (fstatat(keyRoot.get(), folderName.c_str(), &info, 0) != 0) {
        std::printf("no folder: the device does nothing with this key\n");
        return kRefused;
    }
    if (request.keys.empty()) {
        std::printf("runs: the device trusts no keys and runs any script\n");
        return kRuns;
    }
    const Releases released = request.released;
    const auto checked = checkScriptOnKey(keyRoot.get(), folderName, request.keys,
                                          [&released]() -> Result<Releases> { return released; });
    if (!checked) {
        if (request.logPending) {
            std::printf("%s\n", formatText(tarvex::kLineLogNotHandedOver, script.c_str(),
                                           checked.why().c_str())
                                    .c_str());
        }
        std::printf(
            "%s\n",
            formatText(tarvex::kLineScriptRefused, script.c_str(), checked.why().c_str()).c_str());
        return kRefused;
    }
    std::printf("runs: signed with key %s for %s%s %s%llu\n",
                signerOf(keyRoot.get(), folderName).c_str(), tarvex::kFolderToken,
                checked->purpose.folder.c_str(), tarvex::kReleaseToken,
                static_cast<unsigned long long>(checked->purpose.release));
    return kRuns;
}

}  // namespace

int main(int argc, char** argv) {
    const auto request = parseArguments(argc, argv);
    if (!request) {
        return badUse(request.why());
    }
    return decide(*request);
}
