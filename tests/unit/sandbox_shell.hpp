// Shell steps of a test or tool running inside the device sandbox (making,
// inserting and pulling keys, looking at the device). Free of any test
// framework, so the soak run uses them too.
#pragma once

#include <cstdio>
#include <cstdlib>
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

}  // namespace sandbox
