#include "base/format_text.hpp"

#include <cstdarg>
#include <cstdio>

std::string formatText(const char* format, ...) {
    // Two passes over the arguments, each from va_start: the length, then the
    // text.
    va_list args;
    va_start(args, format);
    // The analyzer takes args for uninitialized only when it has checked
    // another file first in the same run: a false report.
    // NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (length <= 0) {
        return "";
    }
    // One more for the terminating NUL vsnprintf writes.
    std::string text(static_cast<size_t>(length) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(&text[0], text.size(), format, args);
    va_end(args);
    text.resize(static_cast<size_t>(length));
    return text;
}
