#pragma once

#include <string>
#include <vector>

#include "storage/usb_key_probe.hpp"

// What the fakes report, and the calls they saw, in order.
struct FakeWorld {
    UsbKeyProbe probe{0, -1};
    bool mounted = false;
    bool listable = false;
    bool mountSucceeds = true;
    bool dead = false;  // the kernel keeps a mount the mountpoint tool cannot see
    std::vector<std::string> calls;
};

extern FakeWorld g_fakeWorld;
