// The progress beeper: a second thread that plays a short beep about once a
// second while (and, by design, after) an update script runs, so the person at
// the device hears that it is busy.
#pragma once

// Starts the beeper thread unless one is already alive. Once started it beeps
// for the rest of the daemon's life.
void startBeeping();
