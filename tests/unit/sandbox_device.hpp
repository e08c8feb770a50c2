// Helpers for tests that run inside the device sandbox: shell steps of the
// test itself (making keys, inserting and pulling them) and a reset of the
// device between tests. Only valid inside the sandbox, where /dev, /home/pi,
// /tmp and /proc are private.
#pragma once

#include <gtest/gtest.h>

#include "sandbox_shell.hpp"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace sandbox {

// One of the daemon's status lines as it reaches standard output.
inline std::string line(const std::string& text) { return text + "\n"; }

inline bool insideSandbox() { return std::ifstream("/run/tarvex/bin/key").good(); }

// Back to a device with no key, nothing mounted, an empty mount point that is
// root's and immutable as the package leaves it, and no recorded sounds.
inline void resetDevice() {
    // A link left there by a test would take the unmount to its target.
    sh("if [ -L /home/pi/media ]; then rm /home/pi/media; fi");
    sh("while mountpoint -q /home/pi/media; do umount -l /home/pi/media || break; done");
    sh("rm -rf /dev/sd* /run/udev/data /tmp/aplay.log /home/pi/log.txt "
       "/home/pi/log.txt.handing-over");
    sh("chattr -i /home/pi/media 2>/dev/null; rm -rf /home/pi/media && mkdir /home/pi/media && "
       "chattr +i /home/pi/media");
}

// The mount point as pi's own, as on a device the package could not lock:
// the root program mounts nothing there.
inline bool unlockMountPoint() {
    return sh("chattr -i /home/pi/media && chown pi:pi /home/pi/media");
}

// Writes /tmp/fakebin/<name> and puts /tmp/fakebin first on PATH. Commands
// the daemon runs through sudo still get the real tools: sudo resets PATH.
inline bool fakeTool(const std::string& name, const std::string& body) {
    static const std::string realPath = std::getenv("PATH");
    const bool written =
        sh("mkdir -p /tmp/fakebin && cat > /tmp/fakebin/" + name + " <<'EOF'\n#!/bin/sh\n" + body +
           "\nEOF\nchmod +x /tmp/fakebin/" + name);
    setenv("PATH", ("/tmp/fakebin:" + realPath).c_str(), 1);
    return written;
}

// Drops every fake tool and restores PATH.
inline void removeFakeTools() {
    static const std::string realPath = std::getenv("PATH");
    sh("rm -rf /tmp/fakebin");
    setenv("PATH", realPath.c_str(), 1);
}

// sudo resets PATH, so an fdisk the daemon must find broken replaces the real
// one, which is kept aside first and put back by restoreFdisk.
inline bool breakFdisk(const std::string& body) {
    return sh("test -e /tmp/real-fdisk || cp -p /usr/sbin/fdisk /tmp/real-fdisk") &&
           sh("printf '#!/bin/sh\\n%s\\n' '" + body +
              "' > /usr/sbin/fdisk && chmod 755 /usr/sbin/fdisk");
}

inline void restoreFdisk() {
    sh("if [ -e /tmp/real-fdisk ]; then cp -p /tmp/real-fdisk /usr/sbin/fdisk; fi; "
       "rm -f /tmp/fdisk.fails /tmp/fdisk.runs");
}

// An fdisk that counts its runs in /tmp/fdisk.runs and answers nothing for
// the nodes listed in /tmp/fdisk.fails.
constexpr const char* kCountingFdisk =
    "echo \"$*\" >> /tmp/fdisk.runs; grep -qxF -- \"$2\" /tmp/fdisk.fails 2>/dev/null && exit 1; "
    "exec /tmp/real-fdisk \"$@\"";

// The exFAT driver prints a version banner on stdout when a mount fails; it is
// the tool's text, not the daemon's.
inline std::string withoutToolBanners(const std::string& out) {
    std::string kept;
    size_t start = 0;
    while (start < out.size()) {
        const size_t end = out.find('\n', start);
        const std::string line =
            out.substr(start, end == std::string::npos ? end : end - start + 1);
        if (line.rfind("FUSE exfat", 0) != 0) kept += line;
        start = end == std::string::npos ? out.size() : end + 1;
    }
    return kept;
}

// Fails a test body that needs the sandbox, so a stray run on a host does
// nothing to the host's real paths.
#define REQUIRE_SANDBOX()                                                        \
    do {                                                                         \
        if (!sandbox::insideSandbox()) GTEST_FAIL() << "run inside the sandbox"; \
    } while (0)

}  // namespace sandbox
