// The keys a device trusts. A device is told to trust makers' keys by a
// root-owned directory of minisign public keys; without that directory it
// runs every key's script, as it always has.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "base/files.hpp"
#include "base/result.hpp"
#include "trust/trust_readers.hpp"

// True when the trusted-keys directory exists (as anything, even a broken
// one): only signed scripts may run. Asked afresh at every update look, so
// keys can be added or revoked without a restart.
bool isTrustModeOn();

// Reads every *.pub there. Fails closed, with the reason, when the directory
// or a key file can be changed by anyone but root (or sits in a directory
// that can be), when a key file is not a key, or when there is no key at all.
Result<std::vector<PublicKey>> loadTrustedKeys();

// True when the log-keys directory exists (as anything): a log then leaves
// the device only sealed. Asked afresh at every hand-off.
bool isLogSealingOn();

// The one log key there, read and checked as the trusted keys are. Fails
// closed, with the reason, also when there is none or more than one.
Result<LogKey> loadLogKey();
