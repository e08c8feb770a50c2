#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>

#include "fake_pass_operations.hpp"
#include "supervisor/supervisor.hpp"

namespace {

// What the pass did, in order: mounts, unmounts and looks. The questions it
// asked on the way are its own business.
std::string actions(const std::vector<std::string>& calls) {
    std::string text;
    for (const auto& call : calls) {
        if (call == "Unmount" || call == "Look" || call.rfind("Mount(", 0) == 0) {
            text += (text.empty() ? "" : " ") + call;
        }
    }
    return text;
}

struct PassCase {
    const char* name;
    // Before the pass.
    char deviceChar;
    bool armed;
    UsbKeyProbe probe;
    bool mounted;
    bool listable;
    bool mountSucceeds;
    bool dead;
    // After it.
    const char* actions;
    char deviceCharAfter;
    bool armedAfter;
};

class SupervisionPass : public testing::TestWithParam<PassCase> {};

TEST_P(SupervisionPass, ActionsAndState) {
    const PassCase& row = GetParam();
    g_fakeWorld = FakeWorld{row.probe, row.mounted, row.listable, row.mountSucceeds, row.dead, {}};
    g_cDeviceChar = row.deviceChar;
    g_lookingForUpdate = row.armed;

    runSupervisionPass();

    EXPECT_EQ(actions(g_fakeWorld.calls), row.actions);
    EXPECT_EQ(std::count(g_fakeWorld.calls.begin(), g_fakeWorld.calls.end(), "Watch"), 1);
    EXPECT_EQ(g_cDeviceChar, row.deviceCharAfter);
    EXPECT_EQ(g_lookingForUpdate, row.armedAfter);
}

constexpr UsbKeyProbe kNoKey{0, -1};
constexpr UsbKeyProbe kKeyA1{'a', 1};
constexpr UsbKeyProbe kKeyB2{'b', 2};
constexpr UsbKeyProbe kWholeDiskA{'a', -1};

INSTANTIATE_TEST_SUITE_P(
    Decisions, SupervisionPass,
    // clang-format off
    // name, before: letter, armed, probe, mounted, listable, mount works, dead;
    // actions; after: letter, armed
    testing::Values(
        PassCase{"StartWithoutKeyArms", 0, false, kNoKey, false, false, true, false,
                 "", 0, true},
        PassCase{"KeyPresentAtStartIsMountedNotLooked", 0, false, kKeyA1, false, false, true, false,
                 "Mount(a,1)", 'a', false},
        PassCase{"InsertedWhileArmedIsMountedAndLooked", 0, true, kKeyA1, false, false, true, false,
                 "Mount(a,1) Look", 'a', false},
        PassCase{"WholeDiskKey", 0, true, kWholeDiskA, false, false, true, false,
                 "Mount(a,-1) Look", 'a', false},
        PassCase{"FailedMountKeepsStateAndArm", 0, true, kKeyA1, false, false, false, false,
                 "Mount(a,1)", 0, true},
        PassCase{"MountedKeyStaysAlone", 'a', false, kKeyA1, true, true, true, false,
                 "", 'a', false},
        PassCase{"PulledKeyIsUnmountedAndArms", 'a', false, kNoKey, true, true, true, false,
                 "Unmount", 0, true},
        PassCase{"UnlistableMountIsRemountedSamePass", 'a', false, kKeyA1, true, false, true, false,
                 "Unmount Mount(a,1)", 'a', false},
        PassCase{"UnlistableMountRemountFails", 'a', false, kKeyA1, true, false, false, false,
                 "Unmount Mount(a,1)", 0, false},
        PassCase{"KeySwappedWithinOneIntervalIsNotLooked", 'a', false, kKeyB2, true, true, true, false,
                 "", 'a', false},
        PassCase{"ForeignMountDroppedWhenNoKey", 0, false, kNoKey, true, true, true, false,
                 "Unmount", 0, true},
        PassCase{"ForeignListableMountBlocksOurs", 0, false, kKeyA1, true, true, false, false,
                 "Mount(a,1)", 0, false},
        // Unmounted from outside: the letter is forgotten so the key is mounted
        // again, and a pass without a key does not look at the bare directory.
        PassCase{"ExternalUnmountWithKeyRemounts", 'a', false, kKeyA1, false, false, true, false,
                 "Mount(a,1)", 'a', false},
        PassCase{"ExternalUnmountWithoutKeyDoesNotLook", 'a', false, kNoKey, false, false, true, false,
                 "", 0, true},
        // An exFAT key whose driver died: the mountpoint tool no longer sees the
        // mount, but the kernel keeps it, and it would block every later mount.
        PassCase{"DeadMountIsDroppedAndKeyRemounted", 'a', false, kKeyA1, false, false, true, true,
                 "Unmount Mount(a,1)", 'a', false},
        PassCase{"DeadMountWithoutKeyIsDropped", 'a', false, kNoKey, false, false, true, true,
                 "Unmount", 0, true}),
    // clang-format on
    [](const testing::TestParamInfo<PassCase>& info) { return info.param.name; });

// The road of one update, pass after pass, as a person sees it at the device:
// key in at boot, pulled, put back, left in.
TEST(SupervisionPassSequence, OneLookPerInsertion) {
    g_cDeviceChar = 0;
    g_lookingForUpdate = false;
    g_fakeWorld = FakeWorld{};
    int looks = 0;
    auto passWith = [&](UsbKeyProbe probe) {
        g_fakeWorld.probe = probe;
        g_fakeWorld.calls.clear();
        runSupervisionPass();
        for (const auto& call : g_fakeWorld.calls) {
            looks += call == "Look";
        }
    };
    passWith(kKeyA1);  // in at boot: mounted, not looked at
    passWith(kKeyA1);
    EXPECT_EQ(looks, 0);
    passWith(kNoKey);  // pulled
    EXPECT_FALSE(g_fakeWorld.mounted);
    passWith(kKeyA1);  // back in
    EXPECT_EQ(looks, 1);
    for (int i = 0; i < 5; ++i) passWith(kKeyA1);
    EXPECT_EQ(looks, 1);
    passWith(kNoKey);
    passWith(kNoKey);
    passWith(kKeyA1);
    EXPECT_EQ(looks, 2);
}

TEST(VersionStamp, AppendsTwoLinesInTheBuildsFormat) {
    std::ofstream("/tmp/quorl_version.txt") << "earlier\n";
    writeVersionToTmp();
    writeVersionToTmp();
    std::ifstream file("/tmp/quorl_version.txt");
    ASSERT_TRUE(file) << "stamp file missing";
    const std::string text((std::istreambuf_iterator<char>(file)), {});
    const std::string stamp =
        "Tarvex Version: 6\nBuild: [A-Z][a-z]{2} [ 1-3][0-9] [0-9]{4} - "
        "[0-9]{2}:[0-9]{2}:[0-9]{2}\n";
    EXPECT_TRUE(std::regex_match(text, std::regex("earlier\n" + stamp + stamp))) << text;
}

TEST(VersionStamp, UnopenableFileIsSkipped) {
    const char* path = "/tmp/quorl_version.txt";
    // A FIFO left in /tmp must not hold the start-up until someone reads it.
    for (const auto make : {mkdir, mkfifo}) {
        std::remove(path);
        ASSERT_EQ(make(path, 0755), 0);
        writeVersionToTmp();  // must neither crash, block nor replace what is there
        struct stat info {};
        EXPECT_EQ(lstat(path, &info), 0);
        EXPECT_EQ(info.st_mode & S_IFMT, make == mkdir ? S_IFDIR : S_IFIFO);
        std::remove(path);
    }
}

}  // namespace
