// tarvex-mount: the one step pi's daemon may take as root. See key_mount.hpp.
#include <cstdio>

#include "base/format_text.hpp"
#include "privileged/key_mount.hpp"
#include "privileged/mount_request.hpp"
#include "tarvex_constants.hpp"

int main(int argc, char** argv) {
    const auto request = parseMountRequest(argc, argv);
    if (!request) {
        std::fprintf(stderr, "%s\n", request.why().c_str());
        return 2;
    }
    const bool mounting = request->action == MountAction::kMount;
    const auto done = mounting ? mountKey(*request) : unmountKey();
    if (!done) {
        const std::string line =
            mounting
                ? formatText(tarvex::kHelperNotMounting, request->node.c_str(), done.why().c_str())
                : formatText(tarvex::kHelperNotUnmounting, done.why().c_str());
        std::fprintf(stderr, "%s\n", line.c_str());
        return 1;
    }
    return 0;
}
