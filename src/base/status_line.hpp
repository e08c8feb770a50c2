// Status lines on standard output. Each is written and flushed at once so the
// journal shows it in order with the output of the commands we run.
#pragma once

#include <string>

// Writes text followed by a newline and flushes.
void printStatusLine(const std::string& text);
