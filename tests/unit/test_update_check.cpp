#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "sandbox_device.hpp"
#include "update/update_check.hpp"

namespace {

using sandbox::fileText;
using sandbox::sh;

// Sounds and flushes are recorded in /tmp/calls.log, in order, next to what
// the update scripts themselves write there. Beeps come from the beeper thread
// at their own pace, so they go to a log of their own.
class UpdateLook : public testing::Test {
protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        sandbox::resetDevice();
        sh("rm -f /tmp/calls.log /tmp/beeps.log");
        ASSERT_TRUE(sandbox::fakeTool("aplay",
                                      "case \"$1\" in *beep*) echo beep >> /tmp/beeps.log ;;"
                                      " *) echo \"aplay $*\" >> /tmp/calls.log ;; esac"));
        ASSERT_TRUE(sandbox::fakeTool("sync", "echo sync >> /tmp/calls.log"));
    }
    void TearDown() override {
        sandbox::removeFakeTools();
        sh("umount /home/pi/media 2>/dev/null; true");
        sandbox::resetDevice();
    }
};

const char* const kFound = "aplay /home/pi/disk_found.wav\n";
const char* const kError = "aplay error1.wav\n";

std::string script(const char* folder, const char* marker) {
    return std::string("mkdir -p /home/pi/media/") + folder + " && echo 'echo " + marker +
           " >> /tmp/calls.log' > /home/pi/media/" + folder + "/quorlupdate.sh";
}

struct LookCase {
    const char* name;
    std::string setup;
    std::string calls;
    std::string out;
};

class LookCases : public UpdateLook, public testing::WithParamInterface<LookCase> {};

TEST_P(LookCases, CommandsAndLines) {
    const LookCase& row = GetParam();
    ASSERT_TRUE(sh(row.setup));
    testing::internal::CaptureStdout();
    LookForUpdate();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), row.out);
    EXPECT_EQ(fileText("/tmp/calls.log"), row.calls);
}

const std::string kUpdateLines =
    "/home/pi/media/_QuorlUpdate exist\nbash /home/pi/media/_QuorlUpdate/quorlupdate.sh\n";

INSTANTIATE_TEST_SUITE_P(
    Keys, LookCases,
    testing::Values(
        LookCase{"UpdateScriptRuns", script("_QuorlUpdate", "update-ran"),
                 std::string(kFound) + "update-ran\nsync\n", kUpdateLines},
        LookCase{
            "OnlyUpdateFolderWithoutLocalLog",
            script("_QuorlUpdate", "update-ran") + " && " + script("_QuorlPostUpdate", "post-ran"),
            std::string(kFound) + "update-ran\nsync\n", kUpdateLines},
        LookCase{"FolderWithoutScript", "mkdir /home/pi/media/_QuorlUpdate",
                 std::string(kFound) + kError + "sync\n", "/home/pi/media/_QuorlUpdate exist\n"},
        LookCase{"PlainFileCountsAsFolder", "touch /home/pi/media/_QuorlUpdate",
                 std::string(kFound) + kError + "sync\n", "/home/pi/media/_QuorlUpdate exist\n"},
        LookCase{
            "LinkedFolderIsFollowed",
            "mkdir -p /tmp/elsewhere && echo 'echo linked-ran >> /tmp/calls.log' > "
            "/tmp/elsewhere/quorlupdate.sh && ln -s /tmp/elsewhere /home/pi/media/_QuorlUpdate",
            std::string(kFound) + "linked-ran\nsync\n", kUpdateLines},
        LookCase{"NothingOnTheKey", "true", "", ""},
        LookCase{"PostUpdateFolderOnlyAfterALog", script("_QuorlPostUpdate", "post-ran"), "", ""}),
    [](const testing::TestParamInfo<LookCase>& info) { return info.param.name; });

TEST_F(UpdateLook, LogIsHandedOverThenPostUpdateRuns) {
    ASSERT_TRUE(
        sh(script("_QuorlUpdate", "update-ran") + " && " + script("_QuorlPostUpdate", "post-ran")));
    ASSERT_TRUE(sh("printf 'update log\\n' > /home/pi/log.txt"));
    testing::internal::CaptureStdout();
    LookForUpdate();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "/home/pi/media/_QuorlPostUpdate exist\n"
              "bash /home/pi/media/_QuorlPostUpdate/quorlupdate.sh\n");
    EXPECT_EQ(fileText("/tmp/calls.log"), std::string("sync\n") + kFound + "post-ran\nsync\n");
    EXPECT_EQ(fileText("/home/pi/media/log.txt"), "update log\n");
    EXPECT_FALSE(sh("test -e /home/pi/log.txt"));
}

TEST_F(UpdateLook, LogWithoutPostUpdateFolderIsOnlyHandedOver) {
    ASSERT_TRUE(sh(script("_QuorlUpdate", "update-ran")));
    ASSERT_TRUE(sh("printf 'update log\\n' > /home/pi/log.txt"));
    testing::internal::CaptureStdout();
    LookForUpdate();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(fileText("/tmp/calls.log"), "sync\n");
    EXPECT_EQ(fileText("/home/pi/media/log.txt"), "update log\n");
    EXPECT_FALSE(sh("test -e /home/pi/log.txt"));
}

// When the key cannot take the log, the local log must survive, the daemon must
// carry on (an exception here would end it for good) and say why once.
struct RefusedCase {
    const char* name;
    std::string setup;
    std::string reason;
    std::string keyLogAfter;  // empty: no log.txt on the key
};

class RefusedHandOver : public UpdateLook, public testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedHandOver, LocalLogIsKeptAndTheLookGoesOn) {
    ASSERT_TRUE(sh("printf 'new log\\n' > /home/pi/log.txt"));
    ASSERT_TRUE(sh(GetParam().setup));
    const std::string localLog = fileText("/home/pi/log.txt");
    testing::internal::CaptureStdout();
    LookForUpdate();
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string firstLine = out.substr(0, out.find('\n') + 1);
    EXPECT_EQ(firstLine.rfind("Cannot copy /home/pi/log.txt to /home/pi/media/log.txt: ", 0), 0u)
        << out;
    EXPECT_NE(firstLine.find(GetParam().reason + "; keeping it\n"), std::string::npos) << out;
    EXPECT_EQ(out.substr(firstLine.size()),
              "/home/pi/media/_QuorlPostUpdate exist\n"
              "bash /home/pi/media/_QuorlPostUpdate/quorlupdate.sh\n");
    EXPECT_EQ(fileText("/home/pi/log.txt"), localLog) << "local log lost";
    EXPECT_EQ(fileText("/tmp/calls.log"), std::string("sync\n") + kFound + "post-ran\nsync\n");
    EXPECT_EQ(fileText("/home/pi/media/log.txt"), GetParam().keyLogAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, RefusedHandOver,
    testing::Values(RefusedCase{"KeyAlreadyHoldsALog",
                                script("_QuorlPostUpdate", "post-ran") +
                                    " && echo 'old log' > /home/pi/media/log.txt",
                                "File exists", "old log\n"},
                    RefusedCase{"ReadOnlyKey",
                                "mount -t tmpfs key /home/pi/media && " +
                                    script("_QuorlPostUpdate", "post-ran") +
                                    " && mount -o remount,ro /home/pi/media",
                                "Read-only file system", ""},
                    RefusedCase{"FullKey",
                                "mount -t tmpfs -o size=64k key /home/pi/media && " +
                                    script("_QuorlPostUpdate", "post-ran") +
                                    " && head -c 1M /dev/zero > /home/pi/log.txt",
                                "", ""}),  // the reason depends on how the copy hit the limit
    [](const testing::TestParamInfo<RefusedCase>& info) { return info.param.name; });

TEST_F(UpdateLook, LogReachesARealKeyIntact) {
    ASSERT_TRUE(sh("key create k --table dos 64M:exfat && key insert k sda"));
    ASSERT_TRUE(sh("mount /dev/sda1 /home/pi/media -o rw -o uid=pi -o gid=pi"));
    ASSERT_TRUE(sh("seq 1 20000 > /home/pi/log.txt"));
    const std::string expected = fileText("/home/pi/log.txt");
    testing::internal::CaptureStdout();
    LookForUpdate();
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(sh("umount /home/pi/media"));
    EXPECT_EQ(sandbox::output("key get k log.txt"), expected);
    EXPECT_FALSE(sh("test -e /home/pi/log.txt"));
    sh("key pull sda; key destroy k");
}

int threadCount() {
    int count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(tasks)) count += entry->d_name[0] != '.';
        closedir(tasks);
    }
    return count;
}

// Earlier script runs in this process may already have started the beeper,
// and sanitizer runtimes add threads of their own, so count what each look adds.
TEST_F(UpdateLook, OneBeeperThatOutlivesTheScripts) {
    ASSERT_TRUE(sh(script("_QuorlUpdate", "update-ran")));
    const int before = threadCount();
    testing::internal::CaptureStdout();
    LookForUpdate();
    const int afterFirst = threadCount();
    LookForUpdate();
    const int afterSecond = threadCount();
    testing::internal::GetCapturedStdout();
    EXPECT_LE(afterFirst - before, 1);
    EXPECT_EQ(afterSecond, afterFirst) << "a second beeper was started";
    sh("rm -f /tmp/beeps.log");
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    const std::string beeps = fileText("/tmp/beeps.log");
    const auto count = std::count(beeps.begin(), beeps.end(), '\n');
    EXPECT_GE(count, 2) << "beeper stopped after the scripts ended";
    EXPECT_LE(count, 4) << "more than one beep a second";
}

}  // namespace
