// The update look on a freshly mounted key: hand a pending local log over to
// the key, then run the update (or post-update) script found there.
#pragma once

#include <optional>
#include <string>

#include "trust/signed_script.hpp"

// Moves /home/pi/log.txt to the key if it exists and then considers
// _QuorlPostUpdate; otherwise considers _QuorlUpdate. On a device that trusts
// keys, the folder's script is read and checked first, and the log goes only
// to a key whose post-update script may run.
void LookForUpdate();

// The folder a look considers: _QuorlPostUpdate with a log pending, else
// _QuorlUpdate.
const char* folderToLookAt(bool logPending);

// If /home/pi/media/<folderName> exists: announce it, run its quorlupdate.sh
// with bash while the beeper sounds (or play the error sound when there is no
// script), and sync. True when the folder exists. `checked` is the folder's
// script as a device that trusts keys read and checked it (checkSignedScript):
// then only those bytes run, and only if they may. None on a device that runs
// any script.
bool CheckForUpdate(const std::string& folderName, const std::optional<ScriptCheck>& checked);
