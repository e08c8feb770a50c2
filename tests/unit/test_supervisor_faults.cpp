// What the daemon does when the device, a key or a tool misbehaves, checked on
// whole supervision passes with the real modules and tools (one of them broken
// on purpose). The questions are always the same: does the pass come back,
// does the daemon recover once the fault is gone, and is nothing lost.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "base/format_text.hpp"
#include "sandbox_device.hpp"
#include "storage/mount_point.hpp"
#include "storage/usb_key_probe.hpp"
#include "supervisor/supervisor.hpp"
#include "tarvex_constants.hpp"

namespace {

using sandbox::fileText;
using sandbox::line;
using sandbox::output;
using sandbox::sh;

class Fault : public testing::Test {
protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        sandbox::resetDevice();
        g_cDeviceChar = 0;
        g_lookingForUpdate = true;
    }
    void TearDown() override {
        sandbox::removeFakeTools();
        sandbox::restoreFdisk();
        sh("umount /proc 2>/dev/null; true");
        sh("pkill -x Quorl; true");
        sandbox::resetDevice();
        sh("for k in $(ls /run/tarvex/keys 2>/dev/null); do key destroy ${k%.img}; done");
    }

    static void breakFdisk(const std::string& body) { ASSERT_TRUE(sandbox::breakFdisk(body)); }

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
    const std::string failed = line(tarvex::kLinePartitionSizeFailed);
    for (size_t at = out.find(failed); at != std::string::npos; at = out.find(failed, at + 1)) {
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

// The larger partition's size read fails while the smaller one's works (a key
// still coming up, a node the kernel is adding anew): nothing is mounted until
// it answers, or the key's update would be looked for on the wrong partition.
TEST_F(Fault, LargerPartitionsFailedSizeReadIsWaitedFor) {
    makeKey("--table dos 32M:exfat 64M:exfat");
    ASSERT_TRUE(sh("key insert k sda && echo /dev/sda2 > /tmp/fdisk.fails"));
    breakFdisk(sandbox::kCountingFdisk);
    pass();
    EXPECT_FALSE(isMounted());
    ASSERT_TRUE(sh("rm /tmp/fdisk.fails"));
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
    EXPECT_NE(out.find(line(tarvex::kLineUnmounting)), std::string::npos) << out;
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
    ASSERT_TRUE(sh("pkill -KILL mount.exfat"));
    // The connection is cut once the driver's process is fully gone.
    ASSERT_TRUE(
        sh("for i in $(seq 50); do mountpoint -q /home/pi/media || break; sleep 0.1; done"));
    ASSERT_TRUE(sh("grep -q ' /home/pi/media ' /proc/self/mountinfo"));
    EXPECT_FALSE(isMounted());
    EXPECT_FALSE(isMountedDirAccesable());
    const std::string out = pass();
    EXPECT_EQ(out, line(tarvex::kLineUnmounting) + line(tarvex::kLineMounted));
    EXPECT_TRUE(isMounted());
    EXPECT_TRUE(isMountedDirAccesable());
    expectKeyIntact();
}

TEST_F(Fault, FuseDriverDiesAndTheKeyIsPulled) {
    makeKey("--table dos 64M:exfat");
    ASSERT_TRUE(sh("key insert k sda"));
    pass();
    ASSERT_TRUE(sh("pkill -KILL mount.exfat; key pull sda"));
    EXPECT_EQ(pass(), line(tarvex::kLineUnmounting));
    EXPECT_FALSE(sh("grep -q ' /home/pi/media ' /proc/self/mountinfo")) << "dead mount kept";
    // A new key mounts.
    ASSERT_TRUE(sh("key create k2 --table dos 32M:exfat && key insert k2 sdb"));
    const std::string out = pass();
    EXPECT_NE(out.find(line(tarvex::kLineMounted)), std::string::npos) << out;
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

// ---------------------------------------------------------------------------
// Hostile keys and a tampered mount point. Each key is made, then changed by
// root through a mount of its own (what a crafted key carries), then the
// daemon takes it on an armed pass and watches it on two more, with every
// fdisk run counted.

// What pi could do with the key's files once the daemon has mounted it; pi is
// who runs the update script and who holds a shell on the device.
std::string asPi(const std::string& command) {
    return "setpriv --reuid=pi --regid=pi --clear-groups sh -c '" + command + "'";
}

struct HostileKeyCase {
    const char* name;
    const char* layout;
    const char* craft;  // run with $K at the key's root (the largest partition)
    bool pendingLog;    // a /home/pi/log.txt waits to be handed over
    int partitions;     // fdisk runs expected on the first pass
    const char* line;   // a line the daemon must print ("" for none)
    std::string safe;   // must hold after both passes
};

class HostileKey : public Fault, public testing::WithParamInterface<HostileKeyCase> {};

TEST_P(HostileKey, ReachesNoFurtherThanItsMountPoint) {
    const HostileKeyCase& row = GetParam();
    ASSERT_TRUE(sh(std::string("key create k ") + row.layout + " && key insert k sda"));
    if (*row.craft != '\0') {
        const std::string largest = output("ls /dev | grep -E '^sda[0-9]+$' | sort -V | tail -n1");
        ASSERT_TRUE(sh("mkdir -p /tmp/craft && mount /dev/" +
                       largest.substr(0, largest.size() - 1) + " /tmp/craft && (K=/tmp/craft; " +
                       row.craft + "); rc=$?; umount /tmp/craft; exit $rc"));
    }
    if (row.pendingLog) {
        ASSERT_TRUE(sh("echo 'update log' > /home/pi/log.txt"));
    }
    breakFdisk(sandbox::kCountingFdisk);
    sh("rm -f /tmp/fdisk.runs");
    std::string out = pass();
    EXPECT_EQ(output("wc -l < /tmp/fdisk.runs"), std::to_string(row.partitions) + "\n");
    // The exFAT driver touches the node as it mounts it (its change time
    // moves), so that partition may be read once more, and a failed read is
    // repeated at once a few times (the mount waits for those); then never
    // again while the key is in.
    for (size_t i = 0; i <= tarvex::kFailedSizeRereads; ++i) {
        out += pass();
    }
    const std::string runs = output("wc -l < /tmp/fdisk.runs");
    out += pass();
    EXPECT_EQ(output("wc -l < /tmp/fdisk.runs"), runs) << "sizes read again for a key left in";
    EXPECT_EQ(g_cDeviceChar, 'a') << out;
    EXPECT_NE(out.find(std::string(row.line) + "\n"), std::string::npos) << out;
    EXPECT_TRUE(sh(row.safe)) << row.safe << "\n" << out;
}

const std::string kLogKept = formatText(tarvex::kLineCannotCopyLog, "File exists");

INSTANTIATE_TEST_SUITE_P(
    Keys, HostileKey,
    testing::Values(
        // A setuid-root program and a device node anyone may write: on a key
        // both must be inert, whatever file system takes them.
        HostileKeyCase{"SetuidProgramAndDeviceNode", "--table dos 64M:ext4",
                       "cp /usr/bin/id $K/suid-id && chmod 4755 $K/suid-id && "
                       "mknod -m 666 $K/null c 1 3",
                       false, 1, tarvex::kLineMounted,
                       "test -u /home/pi/media/suid-id && test -c /home/pi/media/null && " +
                           asPi("! /home/pi/media/suid-id | grep euid= && "
                                "! echo x 2>/dev/null > /home/pi/media/null")},
        HostileKeyCase{"LogLinkedToAFolderOffTheKey", "--table dos 64M:ext4",
                       "ln -s /tmp $K/log.txt", true, 1, kLogKept.c_str(),
                       "test ! -e /tmp/log.txt && grep -qx 'update log' /home/pi/log.txt"},
        HostileKeyCase{"LogLinkedToAFileOffTheKey", "--table dos 64M:ext4",
                       "ln -s /tmp/leaked.txt $K/log.txt", true, 1, kLogKept.c_str(),
                       "test ! -e /tmp/leaked.txt && grep -qx 'update log' /home/pi/log.txt"},
        // Twenty-four small partitions before the one to mount: a fdisk run
        // each on every pass would starve the device while the key is in.
        HostileKeyCase{"ManyPartitions",
                       "--table gpt 1M:raw 1M:raw 1M:raw 1M:raw 1M:raw 1M:raw 1M:raw 1M:raw "
                       "1M:raw 1M:raw 1M:raw 1M:raw 1M:raw 1M:raw 1M:raw 1M:raw 1M:raw 1M:raw "
                       "1M:raw 1M:raw 1M:raw 1M:raw 1M:raw 1M:raw 64M:exfat",
                       "", false, 25, tarvex::kLineMounted,
                       "test \"$(findmnt -n -o SOURCE /home/pi/media)\" = /dev/sda25"},
        // Partitions whose size reads fail are not asked on every pass (the
        // backoff schedule is checked on its own below).
        HostileKeyCase{"ManyPartitionsWithoutASize",
                       "--table gpt 1M:raw 1M:raw 1M:raw 1M:raw 1M:raw 1M:raw 64M:exfat",
                       "printf \"/dev/sda%s\\n\" 1 2 3 4 5 6 > /tmp/fdisk.fails", false, 7,
                       tarvex::kLinePartitionSizeFailed,
                       "test \"$(findmnt -n -o SOURCE /home/pi/media)\" = /dev/sda7"}),
    [](const testing::TestParamInfo<HostileKeyCase>& info) { return info.param.name; });

// A key still coming up answers no size read at first: the whole disk is
// tried meanwhile, and its largest partition mounts on the pass its reads
// succeed, not after a back-off.
TEST_F(Fault, KeyComingUpMountsOnceItsSizesRead) {
    makeKey("--table dos 16M:raw 64M:exfat");
    ASSERT_TRUE(sh("key insert k sda && printf '/dev/sda1\\n/dev/sda2\\n' > /tmp/fdisk.fails"));
    breakFdisk(sandbox::kCountingFdisk);
    pass();
    pass();
    ASSERT_EQ(g_cDeviceChar, 0);
    ASSERT_TRUE(sh("rm /tmp/fdisk.fails"));
    pass();
    EXPECT_EQ(output("findmnt -n -o SOURCE /home/pi/media"), "/dev/sda2\n");
    expectKeyIntact();
}

// pi owns /home/pi and may leave a link where the mount point was. mount and
// umount follow it: the key would cover /usr/sbin, and a pass without a key
// would unmount it. Nor may the clean-up put a directory of pi's there, which
// pi could swap for a link again at will.
TEST_F(Fault, LinkedMountPointIsRefusedNotFollowed) {
    ASSERT_TRUE(sh("mountpoint -q /usr/sbin"));  // the sandbox's overlay
    ASSERT_TRUE(sandbox::unlockMountPoint());
    ASSERT_TRUE(sh("rmdir /home/pi/media && ln -s /usr/sbin /home/pi/media"));
    std::string out = pass() + pass();
    EXPECT_TRUE(sh("mountpoint -q /usr/sbin && test -x /usr/sbin/fdisk"))
        << "link target unmounted";
    makeKey("--table dos 64M:exfat");
    ASSERT_TRUE(sh("key insert k sda"));
    out += pass() + pass();
    EXPECT_EQ(out, formatText(tarvex::kLineMountPointRefused, tarvex::kMountPointIsLink) + "\n");
    EXPECT_TRUE(sh("test -L /home/pi/media")) << "the link was replaced";
    EXPECT_EQ(g_cDeviceChar, 0);
    EXPECT_TRUE(sh("mountpoint -q /usr/sbin && test -x /usr/sbin/fdisk")) << "link target covered";
    expectKeyIntact();
}

// A device that boots from USB has its system disk at sda; a USB data disk
// may sit there too. Either is mounted somewhere already, which a key never
// is: the key behind it must be the one taken.
struct SystemDiskCase {
    const char* name;
    const char* layout;
    const char* mountCommand;  // of /dev/sda2, elsewhere
};

class SystemDisk : public Fault, public testing::WithParamInterface<SystemDiskCase> {};

TEST_P(SystemDisk, IsNeverTakenForAKey) {
    pass();  // no disk yet: whatever an earlier test left reported is forgotten
    makeKey("--table dos 64M:exfat");
    ASSERT_TRUE(sh(std::string("key create sys ") + GetParam().layout));
    // tmpfs lists the newest entry first: inserting sdb first puts sda first.
    ASSERT_TRUE(sh("key insert k sdb && key insert sys sda"));
    ASSERT_EQ(output("ls -U /dev | grep -m1 -E '^sd[a-z]$'"), "sda\n");
    ASSERT_TRUE(sh(std::string("mkdir -p /run/system && ") + GetParam().mountCommand));
    const std::string out = pass() + pass();
    sh("umount /run/system");
    EXPECT_EQ(out, formatText(tarvex::kLineDiskInUse, "/dev/sda", "/dev/sda2", "/run/system") +
                       "\n" + tarvex::kLineMounted + "\n");
    EXPECT_EQ(g_cDeviceChar, 'b');
    EXPECT_EQ(output("findmnt -n -o SOURCE /home/pi/media"), "/dev/sdb1\n");
    sh("umount /home/pi/media; key pull sda");
}

INSTANTIATE_TEST_SUITE_P(Disks, SystemDisk,
                         testing::Values(
                             // Known by its device number (a root file system may be listed under
                             // another name, such as /dev/root).
                             SystemDiskCase{"BlockMount", "--table dos 32M:ext4 64M:ext4",
                                            "mount /dev/sda2 /run/system"},
                             // A FUSE mount has no block device number: known by its source.
                             SystemDiskCase{"FuseMount", "--table dos 32M:exfat 64M:exfat",
                                            "mount /dev/sda2 /run/system"}),
                         [](const testing::TestParamInfo<SystemDiskCase>& info) {
                             return info.param.name;
                         });

}  // namespace
