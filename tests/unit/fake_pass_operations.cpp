// Scripted stand-ins for the operations a supervision pass calls, linked in
// place of the real storage, update and watchdog modules so the pass's
// decisions can be checked row by row without keys or sleeps.
#include "fake_pass_operations.hpp"

#include "storage/mount_point.hpp"
#include "storage/usb_key_probe.hpp"
#include "update/update_check.hpp"
#include "watchdog/app_watchdog.hpp"

FakeWorld g_fakeWorld;

void WatchApplication() { g_fakeWorld.calls.push_back("Watch"); }

UsbKeyProbe isUsbKeyInserted() {
    g_fakeWorld.calls.push_back("Probe");
    return g_fakeWorld.probe;
}

bool isMounted() {
    g_fakeWorld.calls.push_back("isMounted");
    return g_fakeWorld.mounted;
}

bool isMountedDirAccesable() {
    g_fakeWorld.calls.push_back("isListable");
    return g_fakeWorld.listable;
}

bool isDeadMountAtMountPoint() {
    g_fakeWorld.calls.push_back("isDead");
    return g_fakeWorld.dead;
}

void UnmountUsbkey() {
    g_fakeWorld.calls.push_back("Unmount");
    g_fakeWorld.mounted = false;
}

bool MountUsbkey(char letter, int partition) {
    g_fakeWorld.calls.push_back(std::string("Mount(") + letter + "," + std::to_string(partition) +
                                ")");
    if (g_fakeWorld.mountSucceeds) {
        g_fakeWorld.mounted = true;
        g_fakeWorld.listable = true;
    }
    return g_fakeWorld.mountSucceeds;
}

void LookForUpdate() { g_fakeWorld.calls.push_back("Look"); }
