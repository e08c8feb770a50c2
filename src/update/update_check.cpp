#include "update/update_check.hpp"

#include <unistd.h>

#include <filesystem>
#include <optional>
#include <system_error>

#include "base/command_runner.hpp"
#include "base/format_text.hpp"
#include "base/status_line.hpp"
#include "tarvex_constants.hpp"
#include "trust/signed_script.hpp"
#include "trust/trust_readers.hpp"
#include "trust/trusted_keys.hpp"
#include "update/beeper.hpp"
#include "update/log_handoff.hpp"

namespace fs = std::filesystem;

namespace {

std::string folderOnKey(const std::string& folderName) {
    return std::string(tarvex::kMountPoint) + "/" + folderName;
}

std::string scriptIn(const std::string& folder) { return folder + "/" + tarvex::kUpdateScriptName; }

// Existence tests follow links and accept any kind of file. An error other
// than "not there" (a key that went away, a permission problem) is reported
// and treated as absent: the look must never end the daemon.
bool pathExists(const std::string& path) {
    std::error_code error;
    const bool exists = fs::exists(path, error);
    if (error) {
        printStatusLine(
            formatText(tarvex::kLineCannotCheck, path.c_str(), error.message().c_str()));
        return false;
    }
    return exists;
}

// A device that trusts keys hands its log only to a key that proves it is one
// of its maker's: the one whose post-update script (`checked`) verifies, was
// signed for that folder and is not older than the newest run from it. With
// a log key, it hands the log over only sealed to it, and not at all while
// that key is unusable. The script's release is recorded last, as it would be
// before the script runs. Any other device hands its log, as it is, to every
// key. The key to seal it to, if any; why not, when the log stays.
Result<std::optional<LogKey>> howToHandLogToKey(const std::optional<ScriptCheck>& checked) {
    if (!checked) {
        return std::optional<LogKey>{};
    }
    std::optional<LogKey> sealTo;
    if (*checked && isLogSealingOn()) {
        auto key = loadLogKey();
        if (!key) {
            return refuse(formatText(tarvex::kReasonNoUsableLogKey, key.why().c_str()));
        }
        sealTo = *key;
    }
    const auto recorded = recordRelease(*checked);
    if (!recorded) {
        return refuse(recorded.why());
    }
    return sealTo;
}

// Runs the script as ever, or, on a device that trusts keys (`checked`), only
// once its checked bytes are held where the key cannot change them and its
// release is recorded; bash then runs those bytes with $0 still the script's
// path on the key, where scripts find their payload.
void runScript(const std::string& script, const std::optional<ScriptCheck>& checked) {
    std::string command = formatText(tarvex::kScriptCommand, script.c_str());
    OwnedFd memory;
    if (checked) {
        auto held = holdForRun(*checked);
        if (!held) {
            printStatusLine(
                formatText(tarvex::kLineScriptRefused, script.c_str(), held.why().c_str()));
            runCommand(tarvex::kErrorSoundCommand);
            return;
        }
        memory = std::move(*held);
        command = formatText(tarvex::kCheckedScriptCommand, memory.get(), script.c_str());
    }
    startBeeping();
    printStatusLine(formatText(tarvex::kScriptCommand, script.c_str()));
    runCommand(command);
}

}  // namespace

bool CheckForUpdate(const std::string& folderName, const std::optional<ScriptCheck>& checked) {
    const std::string folder = folderOnKey(folderName);
    if (!pathExists(folder)) {
        return false;
    }
    printStatusLine(formatText(tarvex::kLineFolderFound, folder.c_str()));
    runCommand(tarvex::kFoundSoundCommand);
    const std::string script = scriptIn(folder);
    if (pathExists(script)) {
        runScript(script, checked);
    } else {
        runCommand(tarvex::kErrorSoundCommand);
    }
    runCommand(tarvex::kSyncCommand);
    return true;
}

const char* folderToLookAt(bool logPending) {
    return logPending ? tarvex::kPostUpdateFolder : tarvex::kUpdateFolder;
}

void LookForUpdate() {
    // With a log pending, the post-update folder is considered even when the
    // hand-off fails: the log says the device is past its update, and running
    // the update folder again could apply the same update twice.
    const bool logPending =
        pathExists(tarvex::kLocalLogPath) || pathExists(tarvex::kLocalLogAsidePath);
    const char* folderName = folderToLookAt(logPending);
    // Read and checked once, first: the hand-off is decided and the script
    // run on the bytes read here, whatever the key does to its files from now
    // on.
    std::optional<ScriptCheck> checked;
    if (isTrustModeOn()) {
        checked = checkSignedScript(folderName);
    }
    if (logPending) {
        const auto sealTo = howToHandLogToKey(checked);
        if (sealTo) {
            handLogToKey(*sealTo);
        } else {
            const std::string script = scriptIn(folderOnKey(tarvex::kPostUpdateFolder));
            printStatusLine(
                formatText(tarvex::kLineLogNotHandedOver, script.c_str(), sealTo.why().c_str()));
        }
    }
    CheckForUpdate(folderName, checked);
}
