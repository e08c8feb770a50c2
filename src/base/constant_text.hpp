// Compile-time checks over the constants header's texts: a path is defined
// once, and every status line or command that spells it out is checked
// against that definition, so changing one without the others fails the
// build instead of printing a line about the wrong place.
#pragma once

#include <cstddef>

namespace tarvex {

constexpr size_t textLength(const char* text) {
    size_t length = 0;
    while (text[length] != '\0') {
        ++length;
    }
    return length;
}

// Whether text holds part at offset at.
constexpr bool spellsAt(const char* text, size_t at, const char* part) {
    for (size_t i = 0; part[i] != '\0'; ++i) {
        if (text[at + i] != part[i]) {
            return false;
        }
    }
    return true;
}

// Whether text holds part anywhere.
constexpr bool mentions(const char* text, const char* part) {
    const size_t length = textLength(text);
    const size_t partLength = textLength(part);
    for (size_t at = 0; at + partLength <= length; ++at) {
        if (spellsAt(text, at, part)) {
            return true;
        }
    }
    return false;
}

// Whether text ends with part: a command whose last word is the path.
constexpr bool endsWithText(const char* text, const char* part) {
    const size_t length = textLength(text);
    const size_t partLength = textLength(part);
    return partLength <= length && spellsAt(text, length - partLength, part);
}

}  // namespace tarvex
