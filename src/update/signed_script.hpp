// A script on the key in trust mode: read once from the key, checked against
// the keys the device trusts, and bound by its signature's trusted comment to
// the folder it must be found in and to a release that must not be older than
// the newest this device has run from that folder.
#pragma once

#include <cstdint>
#include <string>

// What a signature's trusted comment says its script is for.
struct ScriptPurpose {
    std::string folder;
    uint64_t release = 0;
};

// Reads a trusted comment (the text after "trusted comment: "). Tokens are
// separated by blanks or tabs; exactly one "folder:NAME" and one "release:N"
// (N decimal, 0 to 2^63-1) must be among them, and any others are ignored.
// Pure: no I/O. False, with the reason in `problem`, otherwise.
bool parseTrustedComment(const std::string& comment, ScriptPurpose& purpose, std::string& problem);

// The folder's script as the look found it: its bytes, read once, what its
// signature says it is for, and whether it may run (if not, why not). Built by
// checkSignedScript; on a device that trusts no keys there is none.
struct CheckedScript {
    bool runnable = false;
    std::string bytes;
    ScriptPurpose purpose;
    std::string refusal;
};

// Reads the folder's script and its signature from the key itself, without
// following links, and checks them against the keys the device trusts now,
// against the folder, and against the releases it has run.
CheckedScript checkSignedScript(const std::string& folderName);

// Records a runnable script's release as the newest run from its folder,
// durably, before it runs. True when recorded (or already the newest); false,
// with the reason in `refusal`, when the script must not run, also when it
// was refused when checked.
bool recordRelease(const CheckedScript& checked, std::string& refusal);

// Makes a checked script ready to run: its bytes held in sealed memory on the
// descriptor `memory`, which the shell and bash inherit and which nobody can
// change, and its release recorded. The caller closes `memory` after the run.
// False, with the reason in `refusal` and no descriptor, when it must not run.
bool holdForRun(const CheckedScript& checked, int& memory, std::string& refusal);
