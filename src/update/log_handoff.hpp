// The device's log (/home/pi/log.txt) handed over to the key at the mount
// point, where the maker who updated the device finds it.
#pragma once

#include <optional>

#include "trust/trust_readers.hpp"

// Copies the log onto the key as log.txt, whole or not at all, and removes it
// from the device only once the copy is durable there under that name; says
// why in a status line when it cannot, and keeps the log. What a job still
// holding the log wrote past the copy goes on at the end of /home/pi/log.txt,
// flushed, for the next key. Then flushes every file system. With sealTo,
// log.txt holds the log sealed to that key instead, and only its secret half
// opens it; names, order and durability are the same.
void handLogToKey(const std::optional<LogKey>& sealTo);
