// What the daemon does when the device, a key or a tool misbehaves, checked on
// whole passes with the real tools (one of them broken on purpose). The
// questions are always the same: does the pass come back, does the daemon
// recover once the fault is gone, and is nothing lost.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "sandbox_device.hpp"
#include "storage/mount_point.hpp"
#include "supervisor/supervisor.hpp"
#include "update/update_check.hpp"
#include "watchdog/app_watchdog.hpp"

namespace {

using sandbox::fileText;
using sandbox::output;
using sandbox::sh;

class Fault : public testing::Test {
protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        sandbox::resetDevice();
        ASSERT_TRUE(sh("test -e /tmp/real-fdisk || cp -p /usr/sbin/fdisk /tmp/real-fdisk"));
        g_cDeviceChar = 0;
        g_lookingForUpdate = true;
    }
    void TearDown() override {
        sandbox::removeFakeTools();
        sh("cp -p /tmp/real-fdisk /usr/sbin/fdisk");
        sh("umount /proc 2>/dev/null; true");
        sh("pkill -x Quorl; true");
        sandbox::resetDevice();
        sh("for k in $(ls /run/tarvex/keys 2>/dev/null); do key destroy ${k%.img}; done");
    }

    // sudo resets PATH, so a broken fdisk has to replace the real one.
    static void breakFdisk(const std::string& body) {
        ASSERT_TRUE(sh("printf '#!/bin/sh\\n%s\\n' '" + body +
                       "' > /usr/sbin/fdisk && chmod 755 /usr/sbin/fdisk"));
    }

    static std::string pass() {
        testing::internal::CaptureStdout();
        runSupervisionPass();
        return sandbox::withoutToolBanners(testing::internal::GetCapturedStdout());
    }

    static void makeKey(const std::string& layout) {
        ASSERT_TRUE(sh("key create k " + layout + " && echo precious | key write k keep.txt"));
    }

    static void expectKeyIntact() {
        sandbox::resetDevice();
        EXPECT_EQ(output("key get k keep.txt"), "precious\n") << "a file on the key was lost";
    }
};

double secondsOf(void (*run)()) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// fdisk that says nothing, garbage or endless output: no size, so the whole
// disk is tried (which has no file system here), and the pass still returns.
struct FdiskCase {
    const char* name;
    const char* fdisk;
    int failureLines;
};

class BrokenFdisk : public Fault, public testing::WithParamInterface<FdiskCase> {};

TEST_P(BrokenFdisk, PassReturnsAndTheKeyIsUntouched) {
    makeKey("--table dos 32M:exfat 64M:exfat");
    ASSERT_TRUE(sh("key insert k sda"));
    breakFdisk(GetParam().fdisk);
    const auto start = std::chrono::steady_clock::now();
    const std::string out = pass();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
    size_t failures = 0;
    for (size_t at = out.find("ReadPartitionSize failed\n"); at != std::string::npos;
         at = out.find("ReadPartitionSize failed\n", at + 1)) {
        ++failures;
    }
    EXPECT_EQ(failures, static_cast<size_t>(GetParam().failureLines)) << out;
    EXPECT_FALSE(isMounted());
    EXPECT_EQ(g_cDeviceChar, 0);
    expectKeyIntact();
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, BrokenFdisk,
    testing::Values(FdiskCase{"PrintsNothing", "exit 1", 2},
                    FdiskCase{"PrintsGarbage", "echo garbage; echo more, 12x", 0},
                    FdiskCase{"LineOver999Bytes",
                              "head -c 5000 /dev/zero | tr \"\\\\\\\\0\" x; echo , 9 bytes", 0},
                    FdiskCase{"NeverStopsTalking", "yes no-comma-here", 0}),
    [](const testing::TestParamInfo<FdiskCase>& info) { return info.param.name; });

TEST_F(Fault, LongFdiskLineStillGivesItsSize) {
    makeKey("--table dos 32M:exfat 64M:exfat");
    ASSERT_TRUE(sh("key insert k sda"));
    // The real first line, then 1500 more characters on it.
    breakFdisk(
        "/tmp/real-fdisk \"$@\" | head -n1 | tr -d \"\\\\\\\\n\"; head -c 1500 /dev/zero | tr "
        "\"\\\\\\\\0\" y; echo");
    const std::string out = pass();
    EXPECT_EQ(output("findmnt -n -o SOURCE /home/pi/media"), "/dev/sda2\n") << out;
}

TEST_F(Fault, KeyPulledWhileItsScriptRuns) {
    makeKey("--table dos 64M:exfat");
    ASSERT_TRUE(
        sh("printf 'rm -f /dev/sda*\\nsleep 1\\necho finished > /tmp/script.done\\n' |"
           " key write k _QuorlUpdate/quorlupdate.sh"));
    ASSERT_TRUE(sh("key insert k sda"));
    pass();  // mounts and runs the script, which pulls the key
    EXPECT_EQ(fileText("/tmp/script.done"), "finished\n");
    const std::string out = pass();
    EXPECT_NE(out.find("Unmounting\n"), std::string::npos) << out;
    EXPECT_FALSE(isMounted());
    EXPECT_TRUE(g_lookingForUpdate);
    expectKeyIntact();
}

// The exFAT driver process dies: the kernel keeps the mount, `mountpoint`
// stops seeing it, listing fails. The daemon must drop it and mount again.
TEST_F(Fault, FuseDriverDiesWhileMounted) {
    makeKey("--table dos 64M:exfat");
    ASSERT_TRUE(sh("key insert k sda"));
    pass();
    ASSERT_EQ(g_cDeviceChar, 'a');
    ASSERT_TRUE(sh("pkill -KILL -x mount.exfat"));
    // The connection is cut once the driver's process is fully gone.
    ASSERT_TRUE(
        sh("for i in $(seq 50); do mountpoint -q /home/pi/media || break; sleep 0.1; done"));
    ASSERT_TRUE(sh("grep -q ' /home/pi/media ' /proc/self/mountinfo"));
    EXPECT_FALSE(isMounted());
    EXPECT_FALSE(isMountedDirAccesable());
    const std::string out = pass();
    EXPECT_EQ(out, "Unmounting\nMounted\n");
    EXPECT_TRUE(isMounted());
    EXPECT_TRUE(isMountedDirAccesable());
    expectKeyIntact();
}

TEST_F(Fault, FuseDriverDiesAndTheKeyIsPulled) {
    makeKey("--table dos 64M:exfat");
    ASSERT_TRUE(sh("key insert k sda"));
    pass();
    ASSERT_TRUE(sh("pkill -KILL -x mount.exfat; key pull sda"));
    EXPECT_EQ(pass(), "Unmounting\n");
    EXPECT_FALSE(sh("grep -q ' /home/pi/media ' /proc/self/mountinfo")) << "dead mount kept";
    // A new key mounts.
    ASSERT_TRUE(sh("key create k2 --table dos 32M:exfat && key insert k2 sdb"));
    const std::string out = pass();
    EXPECT_NE(out.find("Mounted\n"), std::string::npos) << out;
}

TEST_F(Fault, UnwritableTmpSkipsTheStamp) {
    // A read-only /tmp laid over the real one (remounting the real one would
    // fail while the beeper's sound player has a file open there).
    ASSERT_TRUE(sh("mount -t tmpfs -o ro readonly /tmp"));
    writeVersionToTmp();
    const bool stamped = sh("test -e /tmp/quorl_version.txt");
    runSupervisionPass();  // and the passes go on (no capture: it needs /tmp)
    ASSERT_TRUE(sh("umount /tmp"));
    EXPECT_FALSE(stamped);
}

void passTheGrace() {
    static bool done = false;
    for (int i = 0; !done && i < 10; ++i) WatchApplication();
    done = true;
}

TEST_F(Fault, EmptyProcStartsNoInstances) {
    passTheGrace();
    ASSERT_TRUE(sh("cp /run/tarvex/Quorl.app /home/pi/Quorl && rm -f /tmp/quorl-starts.log"));
    ASSERT_TRUE(sh("mount -t tmpfs empty /proc"));
    testing::internal::CaptureStdout();
    for (int i = 0; i < 3; ++i) WatchApplication();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(sh("umount /proc"));
    EXPECT_EQ(out, "Cannot read the process table in /proc; not starting Quorl\n");
    sh("sleep 0.3");
    EXPECT_FALSE(sh("test -e /tmp/quorl-starts.log")) << "started blind";
    // Once /proc is back, the application is started again.
    WatchApplication();
    sh("sleep 0.3");
    EXPECT_EQ(output("wc -l < /tmp/quorl-starts.log"), "1\n");
}

TEST_F(Fault, MissingApplicationIsRetriedWithoutHarm) {
    passTheGrace();
    ASSERT_TRUE(sh("rm -f /home/pi/Quorl"));
    const double seconds = secondsOf([] {
        for (int i = 0; i < 3; ++i) WatchApplication();
    });
    EXPECT_LT(seconds, 2.0);
    ASSERT_TRUE(sh("cp /run/tarvex/Quorl.app /home/pi/Quorl && rm -f /tmp/quorl-starts.log"));
    WatchApplication();
    sh("sleep 0.3");
    EXPECT_EQ(output("wc -l < /tmp/quorl-starts.log"), "1\n");
}

TEST_F(Fault, MissingSoundsDoNotStopTheUpdate) {
    ASSERT_TRUE(
        sh("mkdir -p /home/pi/media/_QuorlUpdate && echo 'echo ran > /tmp/script.done' >"
           " /home/pi/media/_QuorlUpdate/quorlupdate.sh"));
    // No aplay at all: a PATH with just what the look needs.
    ASSERT_TRUE(sh("mkdir -p /tmp/noaplay && ln -sf /usr/bin/bash /usr/bin/sync /tmp/noaplay/"));
    setenv("PATH", "/tmp/noaplay", 1);
    testing::internal::CaptureStdout();
    LookForUpdate();
    testing::internal::GetCapturedStdout();
    sandbox::removeFakeTools();
    EXPECT_EQ(fileText("/tmp/script.done"), "ran\n");
}

}  // namespace
