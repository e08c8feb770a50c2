// The look itself: the folder it considers, what it says and plays, its
// beeper, and on a device that trusts keys, whether the key gets the log.
#include <algorithm>
#include <chrono>
#include <thread>

#include "update_look.hpp"

namespace {

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

INSTANTIATE_TEST_SUITE_P(
    Keys, LookCases,
    testing::Values(
        LookCase{"UpdateScriptRuns", script("_QuorlUpdate", "update-ran"),
                 kFound + "update-ran\nsync\n", kUpdateLines},
        LookCase{
            "OnlyUpdateFolderWithoutLocalLog",
            script("_QuorlUpdate", "update-ran") + " && " + script("_QuorlPostUpdate", "post-ran"),
            kFound + "update-ran\nsync\n", kUpdateLines},
        LookCase{"FolderWithoutScript", "mkdir /home/pi/media/_QuorlUpdate",
                 kFound + kError + "sync\n", foundLine(tarvex::kUpdateFolder)},
        LookCase{"PlainFileCountsAsFolder", "touch /home/pi/media/_QuorlUpdate",
                 kFound + kError + "sync\n", foundLine(tarvex::kUpdateFolder)},
        LookCase{
            "LinkedFolderIsFollowed",
            "mkdir -p /tmp/elsewhere && echo 'echo linked-ran >> /tmp/calls.log' > "
            "/tmp/elsewhere/quorlupdate.sh && ln -s /tmp/elsewhere /home/pi/media/_QuorlUpdate",
            kFound + "linked-ran\nsync\n", kUpdateLines},
        LookCase{"NothingOnTheKey", "true", "", ""},
        LookCase{"PostUpdateFolderOnlyAfterALog", script("_QuorlPostUpdate", "post-ran"), "", ""}),
    [](const testing::TestParamInfo<LookCase>& info) { return info.param.name; });

// Earlier script runs in this process may already have started the beeper,
// and sanitizer runtimes add threads of their own, so count what each look adds.
TEST_F(UpdateLook, OneBeeperThatOutlivesTheScripts) {
    ASSERT_TRUE(sh(script("_QuorlUpdate", "update-ran")));
    // A sanitizer starts a helper thread of its own with a process's first
    // thread: started here, it is counted in before, not taken for a beeper.
    std::thread([] {}).join();
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

TEST_F(UpdateLook, MissingSoundsDoNotStopTheUpdate) {
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

// A pending log goes only to a key that proves to be the maker's.
TEST_F(TrustedLook, LogGoesOnlyToASignedKey) {
    ASSERT_TRUE(sh("printf 'update log\\n' > /home/pi/log.txt"));
    ASSERT_TRUE(
        sh("mkdir -p /home/pi/media/_QuorlPostUpdate && echo 'echo post-ran >> "
           "/tmp/calls.log' > /home/pi/media/_QuorlPostUpdate/quorlupdate.sh"));
    testing::internal::CaptureStdout();
    LookForUpdate();
    const std::string post = scriptOf(tarvex::kPostUpdateFolder);
    const std::string unsigned_ = formatText(tarvex::kReasonMissing, kSignatureName.c_str());
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              line(formatText(tarvex::kLineLogNotHandedOver, post.c_str(), unsigned_.c_str())) +
                  foundLine(tarvex::kPostUpdateFolder) +
                  line(formatText(tarvex::kLineScriptRefused, post.c_str(), unsigned_.c_str())));
    EXPECT_EQ(fileText("/home/pi/log.txt"), "update log\n");
    EXPECT_FALSE(sh("test -e /home/pi/media/log.txt"));
    EXPECT_EQ(fileText("/tmp/calls.log"), kFound + kError + "sync\n");

    // Signed, the same key takes the log and its script runs.
    sh("rm -f /tmp/calls.log");
    signedScript("_QuorlPostUpdate", "echo post-ran >> /tmp/calls.log");
    testing::internal::CaptureStdout();
    LookForUpdate();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              foundLine(tarvex::kPostUpdateFolder) + runsLine(tarvex::kPostUpdateFolder));
    EXPECT_EQ(fileText("/home/pi/media/log.txt"), "update log\n");
    EXPECT_FALSE(sh("test -e /home/pi/log.txt"));
    EXPECT_EQ(fileText("/tmp/calls.log"), "sync\n" + kFound + "post-ran\nsync\n");
    EXPECT_EQ(fileText(kState), "_QuorlPostUpdate 42\n");
}

// A post-update script that verifies, but not for this folder or this late:
// no log, and no run.
struct WithheldLogCase {
    const char* name;
    std::string comment;
    std::string state;
    std::string reason;
};

class LogWithheld : public TrustedLook, public testing::WithParamInterface<WithheldLogCase> {};

TEST_P(LogWithheld, FromASignedScriptThatDoesNotFit) {
    const WithheldLogCase& row = GetParam();
    ASSERT_TRUE(
        sh("printf 'update log\\n' > /home/pi/log.txt && printf '" + row.state + "' > " + kState));
    signedScript("_QuorlPostUpdate", "echo post-ran >> /tmp/calls.log", row.comment);
    const std::string post = scriptOf(tarvex::kPostUpdateFolder);
    const std::string kept =
        line(formatText(tarvex::kLineLogNotHandedOver, post.c_str(), row.reason.c_str()));
    const std::string refused =
        line(formatText(tarvex::kLineScriptRefused, post.c_str(), row.reason.c_str()));
    EXPECT_EQ(makersCheck("--pending-log"), "folder: _QuorlPostUpdate\n" + kept + refused);
    testing::internal::CaptureStdout();
    LookForUpdate();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              kept + foundLine(tarvex::kPostUpdateFolder) + refused);
    EXPECT_EQ(fileText("/home/pi/log.txt"), "update log\n");
    EXPECT_FALSE(sh("test -e /home/pi/media/log.txt"));
    EXPECT_EQ(fileText("/tmp/calls.log"), kFound + kError + "sync\n");
}

INSTANTIATE_TEST_SUITE_P(
    Keys, LogWithheld,
    testing::Values(
        // The maker's update script in a stranger's post-update folder.
        WithheldLogCase{"UpdateScriptCopiedIn", "folder:_QuorlUpdate release:42",
                        "_QuorlUpdate 42\\n",
                        formatText(tarvex::kReasonOtherFolder, "_QuorlUpdate", "_QuorlPostUpdate")},
        WithheldLogCase{"OlderRelease", "", "_QuorlPostUpdate 43\\n",
                        "release 42 is older than release 43, which this device has run"}),
    [](const testing::TestParamInfo<WithheldLogCase>& info) { return info.param.name; });

}  // namespace
