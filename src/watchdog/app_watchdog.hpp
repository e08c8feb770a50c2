// Keeps the device's main application running: when no process named Quorl
// exists, start /home/pi/Quorl again in the background.
#pragma once

#include <string>
#include <vector>

// Called at the start of every pass. Skips the first ten passes after start-up
// so the application gets time to come up by itself.
void WatchApplication();

// True when no process carries the application's name.
bool QuorlIsNotRunning();

// Ids of the processes whose first command-line argument, without its
// directory, equals name exactly; in /proc listing order.
std::vector<int> getProcIdByName(const std::string& name);
