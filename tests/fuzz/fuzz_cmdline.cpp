// /proc/<pid>/cmdline as the watchdog matches it against the application's
// name. Any process may rewrite its own command line to any bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tarvex_constants.hpp"
#include "watchdog/app_watchdog.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string commandLine(reinterpret_cast<const char*>(data), size);
    const std::string name = tarvex::kApplicationName;
    const bool named = commandLineNames(commandLine, name);
    // A match means the name is in the first argument, so in the bytes.
    if (named && commandLine.find(name) == std::string::npos) {
        __builtin_trap();
    }
    // Whatever follows the first argument's end never changes the answer.
    const auto end = commandLine.find_first_of(std::string("\0\n", 2));
    if (end != std::string::npos &&
        commandLineNames(commandLine.substr(0, end + 1), name) != named) {
        __builtin_trap();
    }
    return 0;
}
