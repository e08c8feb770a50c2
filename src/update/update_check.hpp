// The update look on a freshly mounted key: hand a pending local log over to
// the key, then run the update (or post-update) script found there.
#pragma once

#include <string>

// Moves /home/pi/log.txt to the key if it exists and then considers
// _QuorlPostUpdate; otherwise considers _QuorlUpdate.
void LookForUpdate();

// If /home/pi/media/<folderName> exists: announce it, run its quorlupdate.sh
// with bash while the beeper sounds (or play the error sound when there is no
// script, or when a device that trusts keys refuses it), and sync. True when
// the folder exists.
bool CheckForUpdate(const std::string& folderName);
