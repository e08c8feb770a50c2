// Shell steps and file reads of a test or tool running inside the device
// sandbox (making, inserting and pulling keys, looking at the device). Free of
// any test framework, so the soak run and the benchmark use them too.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace sandbox {

// Runs a test step through the shell; true on exit status 0.
inline bool sh(const std::string& command) {
    std::fflush(stdout);
    return std::system(command.c_str()) == 0;
}

// Output of a test step.
inline std::string output(const std::string& command) {
    std::fflush(stdout);
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
        pclose(pipe);
    }
    return text;
}

// A file's contents, or nothing when it cannot be read. With read(2): a /proc
// file of a process that exits meanwhile fails with ESRCH, which a stream
// buffer iterator would throw.
inline std::optional<std::string> readFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fd, buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(got));
    close(fd);
    if (got < 0) return std::nullopt;
    return text;
}

inline std::string fileText(const std::string& path) { return readFile(path).value_or(""); }

// The number after "NAME:" in a /proc/PID/status text that starts with a
// newline; -1 if there is none.
inline long statusField(const std::string& status, const char* name) {
    const size_t at = status.find(std::string("\n") + name + ":");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + std::strlen(name) + 2);
}

}  // namespace sandbox
