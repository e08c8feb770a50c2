#include "supervisor/supervisor.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "base/descriptors.hpp"
#include "storage/mount_point.hpp"
#include "storage/usb_key_probe.hpp"
#include "tarvex_constants.hpp"
#include "update/update_check.hpp"
#include "watchdog/app_watchdog.hpp"

// Written only by runSupervisionPass (and cleared at start-up): set when our
// own mount succeeds, cleared whenever the mount point is found without a
// mount, so a key is mounted again after any unmount, ours or not.
char g_cDeviceChar = 0;
// Written only by runSupervisionPass: set by a pass without a key, cleared just
// before the look, so each insertion is looked at once and a key that was
// already in at boot is not.
bool g_lookingForUpdate = false;

void writeVersionToTmp() {
    // Appended to, so not made anew; but /tmp is everyone's, and a FIFO or a
    // link left there must neither hold the start-up nor redirect the stamp.
    OwnedFd fd(open(tarvex::kVersionStampPath,
                    O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    struct stat info {};
    FILE* stamp = !fd || fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)
                      ? nullptr
                      : fdopen(fd.get(), "a");
    if (stamp == nullptr) {
        return;
    }
    // The stream closes it now.
    fd.release();
    // The compiler takes both from SOURCE_DATE_EPOCH when it is set, so builds
    // can be reproduced byte for byte.
    std::fprintf(stamp, tarvex::kVersionStampFormat, tarvex::kVersion, __DATE__, __TIME__);
    std::fclose(stamp);
}

void runSupervisionPass() {
    WatchApplication();

    const UsbKeyProbe probe = isUsbKeyInserted();

    const bool mounted = isMounted();
    if (mounted && (probe.letter == 0 || !isMountedDirAccesable())) {
        UnmountUsbkey();
        g_cDeviceChar = 0;
    } else if (!mounted) {
        // Whatever we mounted is gone (someone unmounted it by hand): forget
        // it, or no key would ever be mounted again and the look would run
        // against the bare local directory.
        g_cDeviceChar = 0;
        if (isDeadMountAtMountPoint()) {
            UnmountUsbkey();
        }
    }

    if (probe.letter == 0) {
        g_lookingForUpdate = true;
    } else if (g_cDeviceChar == 0 && !probe.sizesPending &&
               MountUsbkey(probe.letter, probe.partition)) {
        g_cDeviceChar = probe.letter;
    }

    if (g_cDeviceChar != 0 && g_lookingForUpdate) {
        g_lookingForUpdate = false;
        LookForUpdate();
    }
}

void runDaemon() {
    sleep(tarvex::kStartupDelaySeconds);
    g_cDeviceChar = 0;
    writeVersionToTmp();
    sleep(tarvex::kSettleDelaySeconds);
    for (;;) {
        runSupervisionPass();
        sleep(tarvex::kPassDelaySeconds);
    }
}
