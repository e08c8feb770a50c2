// Filling in the daemon's texts: the status lines, reasons and command lines
// in the constants header that have something in them are printf formats.
#pragma once

#include <string>

// The format filled in as snprintf fills it, whatever its length. The formats
// are the header's constexpr pointers, which GCC and clang still read as
// constants: each call's arguments are checked against its format at compile
// time, as for printf itself.
std::string formatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
