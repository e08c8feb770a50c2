// The one door to the system shell. Every external program the daemon uses
// (mount, fdisk, aplay, bash, sync, the relaunch) goes through these two
// functions, so this is the one place that sees every command line.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

// Hands the whole line to /bin/sh -c and waits for the shell to exit. Output
// goes straight to the daemon's own stdout/stderr. A line ending in " &" returns
// at once because the shell backgrounds it. The exit status is deliberately
// not returned: no caller acts on it.
void runCommand(const std::string& command);

// Runs the line with its stdout on a pipe and returns the first line: at most
// 999 bytes, the newline kept when it fits. No line when the command printed
// nothing, could not be started, or the read failed. Closing the pipe discards
// the rest of the output and waits for the command.
std::optional<std::string> readFirstLine(const std::string& command);

// The first line of stream as readFirstLine(command) takes it from the pipe.
std::optional<std::string> readFirstLine(FILE* stream);
