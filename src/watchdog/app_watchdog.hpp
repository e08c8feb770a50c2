// Keeps the device's main application running: when no process named Quorl
// exists, start /home/pi/Quorl again in the background.
#pragma once

#include <string>
#include <vector>

// Called at the start of every pass. Skips the first ten passes after start-up
// so the application gets time to come up by itself.
void WatchApplication();

// True when no process carries the application's name. False while the
// process table cannot be read, which it says once in a status line.
bool QuorlIsNotRunning();

// True when a command line (the bytes of /proc/<pid>/cmdline, or their start up
// to at least the first NUL or newline) names the process `name`: its first
// argument, up to that NUL or newline and without its directory, equals name
// exactly. An empty first argument (kernel threads, zombies) names nothing.
bool commandLineNames(const std::string& commandLine, const std::string& name);

// Ids of the processes whose first command-line argument, without its
// directory, equals name exactly; in /proc listing order.
std::vector<int> getProcIdByName(const std::string& name);
