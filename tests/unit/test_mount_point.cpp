#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "base/format_text.hpp"
#include "sandbox_device.hpp"
#include "storage/mount_point.hpp"
#include "storage/mount_table.hpp"
#include "tarvex_constants.hpp"

namespace {

using sandbox::output;
using sandbox::sh;

class MountPoint : public testing::Test {
protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        sandbox::resetDevice();
        savedPath_ = std::getenv("PATH");
    }
    void TearDown() override {
        sandbox::removeFakeTools();
        sandbox::resetDevice();
        sh("for k in $(ls /run/tarvex/keys 2>/dev/null); do key destroy ${k%.img}; done");
    }

    static void fakeTool(const std::string& name, const std::string& body) {
        ASSERT_TRUE(sandbox::fakeTool(name, body));
    }

    std::string savedPath_;
};

const std::string kMounted = sandbox::line(tarvex::kLineMounted);
const std::string kFallback = sandbox::line(tarvex::kLineMountFallback);

struct MountCase {
    const char* name;
    const char* keySpec;
    int partition;
    std::string expectedOutput;
    const char* udev = "";  // run after the key is in: what udev recorded
    bool mounts = true;
};

// The line for a key udev found a type on that no key is formatted with.
std::string unknownType(const char* type) {
    return formatText(tarvex::kLineUnknownFileSystem, "sda1", type) + "\n";
}

class MountKey : public MountPoint, public testing::WithParamInterface<MountCase> {};

TEST_P(MountKey, MountsAndReportsIt) {
    const MountCase& row = GetParam();
    ASSERT_TRUE(sh(std::string("key create k ") + row.keySpec + " && key insert k sda"));
    ASSERT_TRUE(sh(std::string("true; ") + row.udev));
    testing::internal::CaptureStdout();
    const bool mounted = MountUsbkey('a', row.partition);
    EXPECT_EQ(sandbox::withoutToolBanners(testing::internal::GetCapturedStdout()),
              row.expectedOutput);
    if (!row.mounts) {
        // Said once for the key, however many passes it stays in.
        testing::internal::CaptureStdout();
        EXPECT_FALSE(MountUsbkey('a', row.partition));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_FALSE(mounted);
        EXPECT_FALSE(isMounted());
        return;
    }
    EXPECT_TRUE(mounted);
    EXPECT_TRUE(isMounted());
    EXPECT_TRUE(isMountedDirAccesable());
    const std::string source = output("findmnt -n -o SOURCE /home/pi/media");
    EXPECT_EQ(source, std::string("/dev/sda") +
                          (row.partition < 0 ? "" : std::to_string(row.partition)) + "\n")
        << "wrong device mounted";
}

INSTANTIATE_TEST_SUITE_P(
    Keys, MountKey,
    testing::Values(
        // exFAT takes the owner options: no fallback line.
        MountCase{"ExfatWithOptions", "--table dos 64M:exfat", 1, kMounted},
        // ext4 rejects uid/gid, so the plain mount is what works.
        MountCase{"Ext4FallsBackToPlainMount", "--table dos 64M:ext4", 1, kFallback + kMounted},
        MountCase{"WholeDiskWithoutTable", "--table none 64M:exfat", -1, kMounted},
        MountCase{"SecondPartition", "--table dos 16M:raw 64M:exfat", 2, kMounted},
        // Without udev's word the kernel's drivers for key file systems are
        // tried in turn; only a whole name on the list is believed.
        MountCase{"NoUdevRecord", "--table dos 64M:ext4", 1, kFallback + kMounted,
                  "rm -r /run/udev/data"},
        // A type no key is formatted with is not tried, whatever is on the
        // key; only a plain name is repeated.
        MountCase{"UdevTypeWithMoreInIt", "--table dos 64M:ext4", 1,
                  unknownType(tarvex::kUnnamedFileSystem),
                  "for f in /run/udev/data/*; do echo 'E:ID_FS_TYPE=ext4 -o suid' > $f; done",
                  false},
        MountCase{"UdevTypeNoKeyHas", "--table dos 64M:ext4", 1, unknownType("ntfs"),
                  "for f in /run/udev/data/*; do echo 'E:ID_FS_TYPE=ntfs' > $f; done", false}),
    [](const testing::TestParamInfo<MountCase>& info) { return info.param.name; });

TEST_F(MountPoint, ExfatFilesBelongToPi) {
    ASSERT_TRUE(sh("key create k --table dos 64M:exfat && echo hi | key write k note.txt"));
    ASSERT_TRUE(sh("key insert k sda"));
    ASSERT_TRUE(MountUsbkey('a', 1));
    EXPECT_EQ(output("stat -c %U /home/pi/media/note.txt"), "pi\n");
}

// Where the package could not lock the mount point, it is pi's: the root
// program mounts nothing there, and each attempt cleans it up.
TEST_F(MountPoint, UnformattedKeyFailsThreeTimesAndLeavesAnEmptyMountPoint) {
    ASSERT_TRUE(sandbox::unlockMountPoint());
    ASSERT_TRUE(sh("key create k --table dos 64M:raw && key insert k sda"));
    ASSERT_TRUE(sh("touch /home/pi/media/stale-file"));
    testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    const bool mounted = MountUsbkey('a', 1);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(mounted);
    EXPECT_EQ(sandbox::withoutToolBanners(out), kFallback + kFallback + kFallback);
    EXPECT_GE(seconds, 3.6);  // 3 x (10 polls + 2 pauses) of 100 ms
    struct stat info {};
    EXPECT_EQ(stat("/home/pi/media", &info), 0) << "mount point not recreated";
    EXPECT_FALSE(sh("test -e /home/pi/media/stale-file"));
}

// As the package leaves it on a device: root's, immutable, empty. Failed
// attempts have nothing to clean there, and say nothing about it.
TEST_F(MountPoint, ImmutableMountPointIsNotCleanedUp) {
    ASSERT_TRUE(sh("key create k --table dos 64M:raw && key insert k sda"));
    fakeTool("sudo", "echo \"sudo $*\" >> /tmp/commands.log; exec /usr/bin/sudo \"$@\"");
    fakeTool("mkdir", "echo \"mkdir $*\" >> /tmp/commands.log; exec /usr/bin/mkdir \"$@\"");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(MountUsbkey('a', 1));
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(sandbox::withoutToolBanners(out), kFallback + kFallback + kFallback);
    const std::string commands = sandbox::fileText("/tmp/commands.log");
    EXPECT_EQ(commands.find(tarvex::kRemoveMountPointCommand), std::string::npos) << commands;
    EXPECT_EQ(commands.find("mkdir"), std::string::npos) << commands;
    EXPECT_NE(commands.find(std::string("sudo ") + tarvex::kMountHelperPath), std::string::npos)
        << commands;
    EXPECT_EQ(err.find("Operation not permitted"), std::string::npos) << err;
    EXPECT_EQ(output("lsattr -d /home/pi/media | cut -c5"), "i\n");
}

// The clean-up makes a missing mount point again, as the daemon's user's and
// not immutable: no key is mounted on a directory pi could move, until the
// package locks it again.
TEST_F(MountPoint, MissingMountPointIsMadeByTheCleanUpButNotMountedOn) {
    ASSERT_TRUE(sh("key create k --table dos 64M:exfat && key insert k sda"));
    ASSERT_TRUE(sandbox::unlockMountPoint() && sh("rmdir /home/pi/media"));
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(MountUsbkey('a', 1));
    EXPECT_EQ(sandbox::withoutToolBanners(testing::internal::GetCapturedStdout()),
              kFallback + kFallback + kFallback);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(formatText(tarvex::kHelperNotImmutable, tarvex::kMountPoint)),
              std::string::npos)
        << err;
    EXPECT_TRUE(sh("test -d /home/pi/media"));
}

// Pulled between the probe and the mount: no attempt on a node that is gone,
// so the pass is over at once for the next key.
TEST_F(MountPoint, KeyPulledSinceTheProbeIsNotTried) {
    ASSERT_TRUE(sh("key create k --table dos 64M:exfat && key insert k sda && key pull sda"));
    testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(MountUsbkey('a', 1));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(MountPoint, AlreadyMountedAndListableRunsNoMount) {
    ASSERT_TRUE(sh("mount -t tmpfs other /home/pi/media"));
    fakeTool("sudo", "echo \"sudo $*\" >> /tmp/sudo.log; exit 1");
    testing::internal::CaptureStdout();
    EXPECT_FALSE(MountUsbkey('a', 1));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(sh("test -e /tmp/sudo.log"))
        << "a command ran: " << sandbox::fileText("/tmp/sudo.log");
}

TEST_F(MountPoint, EmptyMountedKeyIsListable) {
    ASSERT_TRUE(sh("key create k --table dos 64M:exfat && key insert k sda"));
    ASSERT_TRUE(MountUsbkey('a', 1));
    EXPECT_EQ(output("ls -A /home/pi/media"), "");
    EXPECT_TRUE(isMountedDirAccesable());
}

TEST_F(MountPoint, MountPiCannotReadIsNotListable) {
    ASSERT_TRUE(
        sh("key create k --table dos 64M:ext4 && key chmod k:1 0700 . && key insert k sda"));
    ASSERT_TRUE(MountUsbkey('a', 1));
    // The daemon runs as pi; root would list anything.
    const passwd* pi = getpwnam("pi");
    ASSERT_NE(pi, nullptr);
    ASSERT_EQ(seteuid(pi->pw_uid), 0);
    const bool listable = isMountedDirAccesable();
    ASSERT_EQ(seteuid(0), 0);
    EXPECT_TRUE(isMounted());
    EXPECT_FALSE(listable);
}

TEST_F(MountPoint, IsMountedReadsOnlyTheFirstCharacterOfTheFirstLine) {
    // Whatever the tool prints comes before the test's own Yes/No line.
    const struct {
        const char* tool;
        bool mounted;
    } rows[] = {{"exit 0", true},
                {"exit 1", false},
                {"echo yes; exit 0", false},
                {"echo ' Yes'; exit 0", false},
                {"echo Yikes; exit 1", true}};
    for (const auto& row : rows) {
        fakeTool("mountpoint", row.tool);
        EXPECT_EQ(isMounted(), row.mounted) << row.tool;
    }
}

TEST_F(MountPoint, TestThatPrintsNothingIsReportedAsNotMounted) {
    ASSERT_TRUE(sh("mount -t tmpfs other /home/pi/media"));
    fakeTool("mountpoint", "kill -9 $PPID");  // the shell dies before its echo
    testing::internal::CaptureStdout();
    EXPECT_FALSE(isMounted());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), sandbox::line(tarvex::kLineMountCheckError));
}

TEST_F(MountPoint, UnmountPrintsAndReleases) {
    ASSERT_TRUE(sh("key create k --table dos 64M:exfat && key insert k sda"));
    ASSERT_TRUE(MountUsbkey('a', 1));
    testing::internal::CaptureStdout();
    UnmountUsbkey();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), sandbox::line(tarvex::kLineUnmounting));
    EXPECT_FALSE(isMounted());
}

// A mount the mountpoint tool cannot see (tool missing, or the mount showing
// up after the one-second wait) must not cost the key its files: the clean-up
// asks the kernel before removing the mount point.
struct UnseenMountCase {
    const char* name;
    const char* mountpointTool;  // empty: no mountpoint tool at all
};

class UnseenMount : public MountPoint, public testing::WithParamInterface<UnseenMountCase> {};

TEST_P(UnseenMount, KeyFilesSurvive) {
    ASSERT_TRUE(
        sh("key create k --table dos 64M:exfat && echo precious | key write k data/keep.txt"));
    ASSERT_TRUE(sh("key insert k sda"));
    const std::string tool = GetParam().mountpointTool;
    if (tool.empty()) {
        // A PATH with sudo and mkdir but no mountpoint: the shell takes the else branch.
        ASSERT_TRUE(sh("mkdir -p /tmp/nomp && ln -sf /usr/bin/sudo /usr/bin/mkdir /tmp/nomp/"));
        setenv("PATH", "/tmp/nomp", 1);
    } else {
        fakeTool("mountpoint", tool);
    }
    testing::internal::CaptureStdout();
    MountUsbkey('a', 1);
    testing::internal::GetCapturedStdout();
    setenv("PATH", savedPath_.c_str(), 1);
    EXPECT_EQ(sandbox::fileText("/home/pi/media/data/keep.txt"), "precious\n");
    sandbox::resetDevice();
    EXPECT_EQ(output("key get k data/keep.txt"), "precious\n");
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UnseenMount,
    testing::Values(
        UnseenMountCase{"MountpointToolMissing", ""},
        // Blind for the loop test, the test after mounting and the ten polls,
        // then truthful: the mount "appears" just after the wait, before the
        // clean-up.
        UnseenMountCase{
            "MountShowsUpAfterTheWait",
            "n=$(cat /tmp/mp.count 2>/dev/null || echo 0); echo $((n+1)) > /tmp/mp.count\n"
            "[ \"$n\" -ge 12 ] && exec /usr/bin/mountpoint \"$@\"; exit 1"}),
    [](const testing::TestParamInfo<UnseenMountCase>& info) { return info.param.name; });

TEST(MountInfo, MountsAtOrBelow) {
    REQUIRE_SANDBOX();
    sandbox::resetDevice();
    EXPECT_FALSE(mountsAtOrBelow("/home/pi/media"));
    ASSERT_TRUE(sandbox::unlockMountPoint());
    ASSERT_TRUE(
        sh("mkdir -p '/home/pi/media/with blank' && mount -t tmpfs x '/home/pi/media/with blank'"));
    EXPECT_TRUE(mountsAtOrBelow("/home/pi/media"));
    EXPECT_FALSE(mountsAtOrBelow("/home/pi/med"));
    EXPECT_TRUE(mountsAtOrBelow("/home/pi/media/with blank"));
    sh("umount '/home/pi/media/with blank'");
    EXPECT_FALSE(mountsAtOrBelow("/home/pi/media"));
}

}  // namespace
