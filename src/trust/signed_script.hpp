// A script on the key in trust mode: read once from the key, checked against
// the keys the device trusts, and bound by its signature's trusted comment to
// the folder it must be found in and to a release that must not be older than
// the newest this device has run from that folder.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "base/descriptors.hpp"
#include "base/result.hpp"
#include "trust/trust_readers.hpp"

// The folder's script as the look found it, once it may run: its bytes, read
// once, and what its signature says it is for.
struct CheckedScript {
    std::string bytes;
    ScriptPurpose purpose;
};

// A checked script, or why it must not run. On a device that trusts no keys
// there is none.
using ScriptCheck = Result<CheckedScript>;

// Reads the folder's script and its signature from the key itself, without
// following links, and checks them against the keys the device trusts now,
// against the folder, and against the releases it has run.
ScriptCheck checkSignedScript(const std::string& folderName);

// Where the releases run so far come from: the device's state file, or what
// a maker says a device has run.
using ReleaseSource = std::function<Result<Releases>()>;

// The same check on the key whose root is open as keyRoot, against keys and
// the releases that releasesRun gives. checkSignedScript decides with it, so
// a maker's check of a key decides exactly as a device.
ScriptCheck checkScriptOnKey(int keyRoot, const std::string& folderName,
                             const std::vector<PublicKey>& keys, const ReleaseSource& releasesRun);

// Records a runnable script's release as the newest run from its folder,
// durably, before it runs: done when recorded (or already the newest). The
// reason when the script must not run, also when it was refused when checked.
Result<> recordRelease(const ScriptCheck& checked);

// Makes a checked script ready to run: its bytes held in sealed memory on the
// returned descriptor, which the shell and bash inherit and which nobody can
// change, and its release recorded. Closed when the caller drops it, after
// the run.
Result<OwnedFd> holdForRun(const ScriptCheck& checked);
