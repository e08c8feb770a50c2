// The newest release this device has run from each update folder, kept in
// /var/lib/tarvexd/state/releases so that an older signed script is refused.
#pragma once

#include "base/result.hpp"
#include "trust/trust_readers.hpp"

// Reads the state file. No file yet means no release run: empty. The reason
// says what is wrong when it cannot be read or is damaged.
Result<Releases> readReleaseState();

// Replaces the state file with releases, atomically and durably. The reason is
// errno's text; the old file then stands.
Result<> writeReleaseState(const Releases& releases);
