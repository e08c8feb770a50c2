#include "base/status_line.hpp"

#include <cstdio>

void printStatusLine(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}
