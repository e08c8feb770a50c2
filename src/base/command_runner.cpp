#include "base/command_runner.hpp"

#include <cstdio>
#include <cstdlib>

namespace {
// The same bound the device has always used: callers parse only the start of
// the line, and a runaway line must not grow without limit.
constexpr int kFirstLineBufferSize = 1000;
}  // namespace

void runCommand(const std::string& command) {
    // Status lines are flushed as they are written, but flush anyway so a
    // child's output can never overtake text still in our buffer.
    std::fflush(stdout);
    int status = std::system(command.c_str());
    (void)status;
}

std::optional<std::string> readFirstLine(FILE* stream) {
    char buffer[kFirstLineBufferSize];
    if (std::fgets(buffer, sizeof buffer, stream) == nullptr) {
        return std::nullopt;
    }
    return std::string(buffer);
}

std::optional<std::string> readFirstLine(const std::string& command) {
    std::fflush(stdout);
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return std::nullopt;
    }
    auto line = readFirstLine(pipe);
    pclose(pipe);
    return line;
}
