// Start-up and the endless supervision pass: keep the application alive, find
// and mount the key, drop a stale mount, and look for an update once per
// insertion.
#pragma once

// Letter of the USB disk the daemon itself mounted at the mount point; 0 when
// it has no mount of its own.
extern char g_cDeviceChar;
// Armed by a pass that sees no key: the next pass that finds a recorded mount
// looks for an update on it.
extern bool g_lookingForUpdate;

// Appends the two-line version stamp to /tmp/quorl_version.txt; silently does
// nothing when the file cannot be opened.
void writeVersionToTmp();

// One supervision pass, without the sleep that follows it.
void runSupervisionPass();

// The whole life of the daemon: 5 s, stamp, 3 s, then passes 3 s apart, forever.
[[noreturn]] void runDaemon();
