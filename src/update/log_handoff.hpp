// The device's log (/home/pi/log.txt) handed over to the key at the mount
// point, where the maker who updated the device finds it.
#pragma once

// Copies the log onto the key as log.txt, whole or not at all, and removes it
// from the device once the copy is on the key; says why in a status line when
// it cannot. Then flushes every file system.
void handLogToKey();
