// The device's log sealed to the maker's log key, so that whoever holds the
// key it was handed to, a copy of a signed post-update key included, reads
// nothing of it without the log key's secret half.
#pragma once

#include "trust/trust_readers.hpp"

// Writes what remains to be read of `from` to `to`, sealed to key: the header
// line naming the format and the key, the stream key sealed to the log key,
// then the log in chunks, so a large log is never held whole. The errno of a
// read or write that failed; EIO when the cryptography fails.
Result<Done, int> sealLog(int from, int to, const LogKey& key);
