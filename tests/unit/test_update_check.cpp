#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "base/format_text.hpp"
#include "sandbox_device.hpp"
#include "tarvex_constants.hpp"
#include "update/update_check.hpp"

namespace {

// fsync as the daemon calls it: call number g_failFsync fails with
// g_fsyncError, and g_beforeFsync runs once before the next call.
int g_fsyncCalls = 0;
int g_failFsync = 0;
int g_fsyncError = 0;
void (*g_beforeFsync)() = nullptr;

}  // namespace

extern "C" int fsync(int fd) {
    if (auto* hook = g_beforeFsync) {
        g_beforeFsync = nullptr;
        hook();
    }
    if (++g_fsyncCalls == g_failFsync) {
        errno = g_fsyncError;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace {

using sandbox::fileText;
using sandbox::output;
using sandbox::sh;

// Sounds and flushes are recorded in /tmp/calls.log, in order, next to what
// the update scripts themselves write there. Beeps come from the beeper thread
// at their own pace, so they go to a log of their own.
class UpdateLook : public testing::Test {
protected:
    void SetUp() override {
        REQUIRE_SANDBOX();
        sandbox::resetDevice();
        // The look reads whatever is at the mount point: a key's files are
        // written straight into it.
        ASSERT_TRUE(sandbox::unlockMountPoint());
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

using sandbox::line;

const std::string kFound = line(tarvex::kFoundSoundCommand);
const std::string kError = line(tarvex::kErrorSoundCommand);

std::string folderOf(const char* folder) { return std::string(tarvex::kMountPoint) + "/" + folder; }
std::string scriptOf(const char* folder) {
    return folderOf(folder) + "/" + tarvex::kUpdateScriptName;
}
std::string foundLine(const char* folder) {
    return line(formatText(tarvex::kLineFolderFound, folderOf(folder).c_str()));
}
std::string runsLine(const char* folder) {
    return line(formatText(tarvex::kScriptCommand, scriptOf(folder).c_str()));
}

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

const std::string kUpdateLines = foundLine(tarvex::kUpdateFolder) + runsLine(tarvex::kUpdateFolder);

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

TEST_F(UpdateLook, LogIsHandedOverThenPostUpdateRuns) {
    ASSERT_TRUE(
        sh(script("_QuorlUpdate", "update-ran") + " && " + script("_QuorlPostUpdate", "post-ran")));
    ASSERT_TRUE(sh("printf 'update log\\n' > /home/pi/log.txt"));
    testing::internal::CaptureStdout();
    LookForUpdate();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              foundLine(tarvex::kPostUpdateFolder) + runsLine(tarvex::kPostUpdateFolder));
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
    // The line with the reason, or with any reason where the row gives none.
    const std::string format = tarvex::kLineCannotCopyLog;
    const size_t slot = format.find("%s");
    EXPECT_EQ(firstLine.rfind(format.substr(0, slot), 0), 0u) << out;
    EXPECT_NE(firstLine.find(GetParam().reason + line(format.substr(slot + 2))), std::string::npos)
        << out;
    EXPECT_EQ(out.substr(firstLine.size()),
              foundLine(tarvex::kPostUpdateFolder) + runsLine(tarvex::kPostUpdateFolder));
    EXPECT_EQ(fileText("/home/pi/log.txt"), localLog) << "local log lost";
    EXPECT_EQ(fileText("/tmp/calls.log"), std::string("sync\n") + kFound + "post-ran\nsync\n");
    EXPECT_EQ(fileText("/home/pi/media/log.txt"), GetParam().keyLogAfter);
    EXPECT_FALSE(sh(std::string("test -e /home/pi/media/") + tarvex::kKeyLogPartialName));
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

// The log leaves the device only once its copy is durable on the key: the
// file's flush, then the directory's (EINVAL: one that cannot be flushed, whose
// file system is synced instead).
struct FlushCase {
    const char* name;
    int failAt;
    int error;
    bool handed;
};

class FlushFails : public UpdateLook, public testing::WithParamInterface<FlushCase> {};

TEST_P(FlushFails, LogLeavesOnlyOnceDurable) {
    ASSERT_TRUE(sh("printf 'update log\\n' > /home/pi/log.txt"));
    g_fsyncCalls = 0;
    g_failFsync = GetParam().failAt;
    g_fsyncError = GetParam().error;
    testing::internal::CaptureStdout();
    LookForUpdate();
    const std::string out = testing::internal::GetCapturedStdout();
    g_failFsync = 0;
    const bool handed = GetParam().handed;
    EXPECT_EQ(out, handed ? "" : line(formatText(tarvex::kLineCannotCopyLog, strerror(EIO))));
    EXPECT_EQ(fileText("/home/pi/log.txt"), handed ? "" : "update log\n");
    EXPECT_FALSE(sh(std::string("test -e ") + tarvex::kLocalLogAsidePath));
}

INSTANTIATE_TEST_SUITE_P(Keys, FlushFails,
                         testing::Values(FlushCase{"CopyNotFlushed", 1, EIO, false},
                                         FlushCase{"RenamedCopyNotFlushed", 2, EIO, false},
                                         FlushCase{"DirectoryNotFlushed", 3, EIO, false},
                                         FlushCase{"DirectoryCannotBeFlushed", 3, EINVAL, true}),
                         [](const testing::TestParamInfo<FlushCase>& info) {
                             return info.param.name;
                         });

// A job of an earlier script that holds the log open (exec >>
// /home/pi/log.txt) and writes a line whenever the hand-off flushes, until its
// first line after the removal.
int g_held = -1;
std::string g_heldLines;
void heldJobWrites() {
    const bool removed = access(tarvex::kLocalLogAsidePath, F_OK) != 0;
    const std::string line = removed ? "after\n" : "held\n";
    EXPECT_EQ(write(g_held, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    g_heldLines += line;
    g_beforeFsync = removed ? nullptr : heldJobWrites;
}

// Background jobs of earlier scripts append while the log is handed over: by
// name (into a new log.txt) and through a descriptor they hold (into the
// copied file), before its removal and after it. No line is lost or doubled;
// all wait for the next hand-off.
TEST_F(UpdateLook, LinesAppendedDuringTheHandOffStay) {
    ASSERT_TRUE(sh("printf 'update log\\n' > /home/pi/log.txt"));
    g_held = open("/home/pi/log.txt", O_WRONLY | O_APPEND | O_CLOEXEC);
    g_heldLines.clear();
    g_beforeFsync = [] {
        sh("echo by-name >> /home/pi/log.txt");
        heldJobWrites();
    };
    testing::internal::CaptureStdout();
    LookForUpdate();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    if (g_beforeFsync != nullptr) {
        heldJobWrites();  // the job writes after the look all the same
    }
    close(g_held);
    EXPECT_EQ(fileText("/home/pi/media/log.txt") + fileText("/home/pi/log.txt") +
                  fileText(tarvex::kLocalLogAsidePath),
              "update log\nby-name\n" + g_heldLines);
}

// What a power cut in the middle of an earlier copy left under the copy's own
// name is replaced; a link there is removed, never written through.
TEST_F(UpdateLook, WhatACutLeftOfACopyIsReplaced) {
    const std::string partial = std::string("/home/pi/media/") + tarvex::kKeyLogPartialName;
    for (const std::string& leftover :
         {"printf 'upd' > " + partial,
          "echo outside > /tmp/outside && ln -s /tmp/outside " + partial}) {
        ASSERT_TRUE(
            sh("rm -f /home/pi/media/log.txt && printf 'update log\\n' > /home/pi/log.txt"));
        ASSERT_TRUE(sh(leftover));
        testing::internal::CaptureStdout();
        LookForUpdate();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "") << leftover;
        EXPECT_EQ(fileText("/home/pi/media/log.txt"), "update log\n") << leftover;
        EXPECT_FALSE(sh("test -e " + partial + " || test -L " + partial)) << leftover;
        EXPECT_FALSE(sh("test -e /home/pi/log.txt")) << leftover;
    }
    EXPECT_EQ(fileText("/tmp/outside"), "outside\n");
}

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

// ---------------------------------------------------------------------------
// A device told to trust a maker's key: /etc/tarvexd/trusted-keys holds the
// public key "a", made by the real minisign tool; "b" is a stranger's. Scripts
// are signed for their folder and release 42 unless a row says otherwise, and
// the device starts with no release state.

const std::string kScript = scriptOf(tarvex::kUpdateFolder);
const std::string kSigned = kScript + tarvex::kSignatureSuffix;

const std::string kState = tarvex::kReleaseStatePath;

// The command that signs the folder's script with key "a", for the folder and
// release 42 unless comment says otherwise; options such as -l go first.
std::string signing(const char* folder, const std::string& comment = "",
                    const std::string& options = "") {
    const std::string text =
        comment.empty() ? tarvex::kFolderToken + std::string(folder) + " release:42" : comment;
    return "minisign -S " + options + " -s /tmp/tk/a.key -t '" + text + "' -m " + scriptOf(folder) +
           " >/dev/null";
}

class TrustedLook : public UpdateLook {
protected:
    void SetUp() override {
        UpdateLook::SetUp();
        ASSERT_TRUE(
            sh("test -e /tmp/tk/b.key || (mkdir -p /tmp/tk && cd /tmp/tk && "
               "minisign -G -W -p a.pub -s a.key >/dev/null && "
               "minisign -G -W -p b.pub -s b.key >/dev/null)"));
        ASSERT_TRUE(
            sh("install -d -m 755 -o root -g root /etc/tarvexd /etc/tarvexd/trusted-keys && "
               "install -m 644 -o root -g root /tmp/tk/a.pub /etc/tarvexd/trusted-keys/"));
    }
    void TearDown() override {
        sh("rm -rf /etc/tarvexd /tmp/upd /tmp/real.sh /var/lib/tarvexd/state/*");
        UpdateLook::TearDown();
    }

    // The folder's script, with body, signed by key "a" with the comment.
    static void signedScript(const char* folder, const std::string& body,
                             const std::string& comment = "") {
        const std::string script = scriptOf(folder);
        ASSERT_TRUE(sh(std::string("mkdir -p /home/pi/media/") + folder + " && printf '%s\\n' '" +
                       body + "' > " + script + " && " + signing(folder, comment)));
    }
};

const std::string kRunsBody =
    "echo update-ran >> /tmp/calls.log; echo \"dollar0=$0\" >> /tmp/calls.log";
const std::string kRanCalls = kFound + "update-ran\ndollar0=" + kScript + "\nsync\n";

struct TrustedRunCase {
    const char* name;
    std::string comment;  // "" for "folder:_QuorlUpdate release:42"
    std::string stateBefore;
    std::string stateAfter;
    std::string planted = "true";  // what pi left in the state directory
};

// What the maker's check says of the key as it is now, trusting key "a" and
// knowing the releases this device has run: it decides with the look's code.
std::string makersCheck(const std::string& options = "") {
    return output(std::string(TARVEX_KEY_CHECK) + " /home/pi/media " + options +
                  " --trust /tmp/tk/a.pub $(test -e " + kState + " && echo --state " + kState +
                  ")");
}

class SignedScriptRuns : public TrustedLook, public testing::WithParamInterface<TrustedRunCase> {};

TEST_P(SignedScriptRuns, AsAnyScriptWould) {
    const TrustedRunCase& row = GetParam();
    signedScript("_QuorlUpdate", kRunsBody, row.comment);
    if (!row.stateBefore.empty()) {
        ASSERT_TRUE(sh("printf '" + row.stateBefore + "' > " + kState));
    }
    ASSERT_TRUE(sh(row.planted));
    EXPECT_EQ(makersCheck().rfind("folder: _QuorlUpdate\nruns: signed with key ", 0), 0u);
    testing::internal::CaptureStdout();
    LookForUpdate();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kUpdateLines);
    EXPECT_EQ(fileText("/tmp/calls.log"), kRanCalls);
    EXPECT_EQ(fileText(kState), row.stateAfter);
    EXPECT_FALSE(
        sh(std::string("test -e ") + tarvex::kStateDir + "/" + tarvex::kReleaseStateTempName));
}

INSTANTIATE_TEST_SUITE_P(
    Releases, SignedScriptRuns,
    testing::Values(TrustedRunCase{"FirstRelease", "", "", "_QuorlUpdate 42\n"},
                    // A key inserted again runs again, as without trust.
                    TrustedRunCase{"EqualRelease", "", "_QuorlUpdate 42\\n", "_QuorlUpdate 42\n"},
                    TrustedRunCase{"NewerRelease", "", "_QuorlUpdate 41\\n", "_QuorlUpdate 42\n"},
                    TrustedRunCase{"OtherFolderKeepsItsRelease", "", "_QuorlPostUpdate 50\\n",
                                   "_QuorlPostUpdate 50\n_QuorlUpdate 42\n"},
                    TrustedRunCase{"OtherTokensAndTabs",
                                   "by:maker\tfolder:_QuorlUpdate  release:7 x", "",
                                   "_QuorlUpdate 7\n"},
                    // Opened to write, it would hold the pass until a reader came.
                    TrustedRunCase{"FifoAtTheTemporaryName", "", "", "_QuorlUpdate 42\n",
                                   std::string("mkfifo -m 666 ") + tarvex::kStateDir + "/" +
                                       tarvex::kReleaseStateTempName}),
    [](const testing::TestParamInfo<TrustedRunCase>& info) { return info.param.name; });

// Each row spoils a signed key or the device's keys; the script must not run.
struct RefusalCase {
    const char* name;
    std::string spoil;
    std::string reason;     // "<b>" stands for the stranger's key id
    bool onTheKey = false;  // what is spoilt is on the key: the maker's check sees it too
};

class UnsignedScriptRefused : public TrustedLook,
                              public testing::WithParamInterface<RefusalCase> {};

TEST_P(UnsignedScriptRefused, ErrorSoundInsteadOfTheScript) {
    signedScript("_QuorlUpdate", kRunsBody);
    ASSERT_TRUE(sh(GetParam().spoil));
    std::string reason = GetParam().reason;
    const auto stranger = reason.find("<b>");
    if (stranger != std::string::npos) {
        reason.replace(stranger, 3, output("head -n1 /tmp/tk/b.pub | awk '{printf \"%s\", $NF}'"));
    }
    const int threads = threadCount();
    const std::string state = fileText(kState);
    const std::string refused =
        line(formatText(tarvex::kLineScriptRefused, kScript.c_str(), reason.c_str()));
    if (GetParam().onTheKey) {
        EXPECT_EQ(makersCheck(), "folder: _QuorlUpdate\n" + refused);
    }
    testing::internal::CaptureStdout();
    LookForUpdate();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), foundLine(tarvex::kUpdateFolder) + refused);
    EXPECT_EQ(fileText("/tmp/calls.log"), kFound + kError + "sync\n");
    EXPECT_EQ(threadCount(), threads) << "a beeper was started";
    EXPECT_EQ(fileText(kState), state) << "a refused script's release was recorded";
}

const std::string kScriptName = tarvex::kUpdateScriptName;
const std::string kSignatureName = kScriptName + tarvex::kSignatureSuffix;
const std::string kKeys = tarvex::kTrustedKeysDir;

// What is wrong with the trusted keys, as the refusal says it.
std::string noKey(const std::string& problem) {
    return formatText(tarvex::kReasonNoUsableKey, problem.c_str());
}
std::string noKey(const char* format, const std::string& path) {
    return noKey(formatText(format, path.c_str()));
}
std::string stateUnreadable(const std::string& problem) {
    return formatText(tarvex::kReasonReleaseStateUnreadable, problem.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, UnsignedScriptRefused,
    testing::Values(
        RefusalCase{"NoSignature", "rm " + kSigned,
                    formatText(tarvex::kReasonMissing, kSignatureName.c_str()), true},
        RefusalCase{"UnknownKey", "minisign -S -s /tmp/tk/b.key -m " + kScript + " >/dev/null",
                    formatText(tarvex::kReasonUntrustedKey, "<b>"), true},
        RefusalCase{"ScriptByteChanged", "sed -i s/update-ran/update-RAN/ " + kScript,
                    tarvex::kReasonScriptChanged, true},
        RefusalCase{"TrustedCommentChanged",
                    "sed -i 's/^trusted comment: .*/trusted comment: forged/' " + kSigned,
                    tarvex::kReasonCommentChanged, true},
        RefusalCase{"ScriptOverTheCap",
                    "head -c " + std::to_string(tarvex::kMaxSignedScriptBytes) +
                        " /dev/zero | tr '\\0' '#' >> " + kScript +
                        " && minisign -S -s /tmp/tk/a.key -m " + kScript + " >/dev/null",
                    formatText(tarvex::kReasonTooLarge, kScriptName.c_str(),
                               std::to_string(tarvex::kMaxSignedScriptBytes).c_str()),
                    true},
        RefusalCase{"ScriptIsALink",
                    "mv " + kScript + " /tmp/real.sh && ln -s /tmp/real.sh " + kScript,
                    formatText(tarvex::kReasonIsALink, kScriptName.c_str()), true},
        RefusalCase{"FolderIsALink",
                    "mv /home/pi/media/_QuorlUpdate /tmp/upd && "
                    "ln -s /tmp/upd /home/pi/media/_QuorlUpdate",
                    formatText(tarvex::kReasonIsALink, tarvex::kUpdateFolder), true},
        RefusalCase{"SignatureIsAFifo", "rm " + kSigned + " && mkfifo " + kSigned,
                    formatText(tarvex::kReasonNotARegularFile, kSignatureName.c_str()), true},
        RefusalCase{"KeyDirectoryOwnedByPi", "chown 1000 " + kKeys,
                    noKey(tarvex::kReasonOthersCanWrite, kKeys)},
        RefusalCase{"KeyDirectoryGroupWritable", "chmod 775 " + kKeys,
                    noKey(tarvex::kReasonOthersCanWrite, kKeys)},
        RefusalCase{"ParentDirectoryOwnedByPi", "chown 1000 /etc/tarvexd",
                    noKey(tarvex::kReasonOthersCanWrite, "/etc/tarvexd")},
        RefusalCase{"KeyFileWritableByPi", "chown 1000 " + kKeys + "/a.pub",
                    noKey(tarvex::kReasonOthersCanWrite, kKeys + "/a.pub")},
        RefusalCase{"KeyFileIsALink",
                    "mv " + kKeys + "/a.pub /etc/tarvexd/a.real && ln -s /etc/tarvexd/a.real " +
                        kKeys + "/a.pub",
                    noKey(tarvex::kReasonIsALink, kKeys + "/a.pub")},
        RefusalCase{"MalformedKeyBesideAGoodOne", "echo garbage > " + kKeys + "/z.pub",
                    noKey(tarvex::kReasonNotAPublicKey, kKeys + "/z.pub")},
        RefusalCase{"NoKeyAtAll", "rm " + kKeys + "/a.pub", noKey(tarvex::kReasonNoKey)},
        // Read whole, not cut at the first read: a key file with more is no key.
        RefusalCase{"KeyFileTooLarge", "head -c 5000 /dev/zero >> " + kKeys + "/a.pub",
                    noKey(formatText(tarvex::kReasonTooLarge, (kKeys + "/a.pub").c_str(), "4096"))},
        RefusalCase{"KeyDirectoryIsAFile", "rm -r " + kKeys + " && touch " + kKeys,
                    noKey(tarvex::kReasonNotADirectory, kKeys)},
        RefusalCase{"LegacySignature", signing("_QuorlUpdate", "", "-l"),
                    tarvex::kReasonLegacySignature, true},
        RefusalCase{"NoFolderToken", signing("_QuorlUpdate", "release:42"), tarvex::kReasonNoFolder,
                    true},
        // The update script copied into another folder, as a stranger's key
        // would carry it to be handed the log.
        RefusalCase{
            "SignedForAnotherFolder", signing("_QuorlUpdate", "folder:_QuorlPostUpdate release:42"),
            formatText(tarvex::kReasonOtherFolder, "_QuorlPostUpdate", "_QuorlUpdate"), true},
        RefusalCase{"NoRelease", signing("_QuorlUpdate", "folder:_QuorlUpdate"),
                    tarvex::kReasonNoRelease, true},
        // Last year's script rolling the device back.
        RefusalCase{"OlderRelease", "printf '_QuorlUpdate 43\\n' > " + kState,
                    "release 42 is older than release 43, which this device has run", true},
        RefusalCase{"CorruptState", "printf '_QuorlUpdate 4x\\n' > " + kState,
                    stateUnreadable(formatText(tarvex::kReasonStateBadLine, "1"))},
        RefusalCase{"StateIsALink", "ln -s /etc/passwd " + kState,
                    stateUnreadable(tarvex::kReasonStateIsALink)},
        RefusalCase{"ReleaseCannotBeRecorded",
                    std::string("mkdir ") + tarvex::kStateDir + "/" + tarvex::kReleaseStateTempName,
                    formatText(tarvex::kReasonCannotRecordRelease, "42", "Is a directory")}),
    [](const testing::TestParamInfo<RefusalCase>& info) { return info.param.name; });

// The key swaps its script for another right after the check (here while the
// found sound plays): what runs is what was checked.
TEST_F(TrustedLook, WhatRunsIsWhatWasVerified) {
    signedScript("_QuorlUpdate", kRunsBody);
    ASSERT_TRUE(sandbox::fakeTool(
        "aplay", std::string("case \"$1\" in *beep*) ;; *) echo \"aplay $*\" >> /tmp/calls.log;"
                             " echo 'echo replaced >> /tmp/calls.log' > ") +
                     kScript + " ;; esac"));
    testing::internal::CaptureStdout();
    LookForUpdate();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), kUpdateLines);
    EXPECT_EQ(fileText("/tmp/calls.log"), kRanCalls);
    EXPECT_EQ(fileText(kScript), "echo replaced >> /tmp/calls.log\n") << "the hook did not run";
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

// A device that trusts keys and seals its log: /etc/tarvexd/log-keys holds
// the log key that the maker's tool made, and only the tool, with its secret
// half, gives the log back. Each row sets the log key up, or spoils it.
const std::string kKeyTool =
    std::string("/usr/bin/python3 -B ") + TARVEX_KEY_TOOL + " --build " + TARVEX_BUILD_DIR;
const std::string kLogKeys = tarvex::kLogKeysDir;
const std::string kLogKeyDir = "install -d -m 755 -o root -g root " + kLogKeys;
const std::string kInstallLogKey =
    kLogKeyDir + " && install -m 644 -o root -g root /tmp/tk/log.pub " + kLogKeys + "/";

struct LogKeyCase {
    const char* name;
    std::string setup;
    std::string reason;  // why the log stays; "" when it is handed over
    bool sealed = true;
};

class LogKeyCases : public TrustedLook, public testing::WithParamInterface<LogKeyCase> {};

TEST_P(LogKeyCases, LogIsSealedOrKept) {
    const LogKeyCase& row = GetParam();
    ASSERT_TRUE(sh("test -e /tmp/tk/log.key || " + kKeyTool +
                   " keygen --public /tmp/tk/log.pub --secret /tmp/tk/log.key >/dev/null"));
    ASSERT_TRUE(sh("printf 'update log\\n' > /home/pi/log.txt"));
    signedScript("_QuorlPostUpdate", "echo post-ran >> /tmp/calls.log");
    ASSERT_TRUE(sh(row.setup));
    const std::string log = fileText("/home/pi/log.txt");
    testing::internal::CaptureStdout();
    LookForUpdate();
    const std::string post = scriptOf(tarvex::kPostUpdateFolder);
    const std::string why = formatText(tarvex::kReasonNoUsableLogKey, row.reason.c_str());
    const std::string kept =
        row.reason.empty()
            ? ""
            : line(formatText(tarvex::kLineLogNotHandedOver, post.c_str(), why.c_str()));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              kept + foundLine(tarvex::kPostUpdateFolder) + runsLine(tarvex::kPostUpdateFolder));
    EXPECT_EQ(fileText("/tmp/calls.log"),
              (kept.empty() ? "sync\n" : "") + kFound + "post-ran\nsync\n");
    const std::string onKey = fileText("/home/pi/media/log.txt");
    if (!row.reason.empty()) {
        EXPECT_EQ(fileText("/home/pi/log.txt"), log);
        EXPECT_FALSE(sh("test -e /home/pi/media/log.txt"));
        return;
    }
    EXPECT_FALSE(sh("test -e /home/pi/log.txt"));
    if (!row.sealed) {
        EXPECT_EQ(onKey, log);
        return;
    }
    EXPECT_EQ(onKey.find(log), std::string::npos) << "the log is on the key in plain text";
    EXPECT_EQ(output(kKeyTool + " open /home/pi/media/log.txt --secret /tmp/tk/log.key"), log);
    // Cut short by one byte, it does not open, and shows nothing of itself.
    ASSERT_TRUE(sh("head -c -1 /home/pi/media/log.txt > /tmp/cut.txt"));
    EXPECT_EQ(
        output(kKeyTool + " open /tmp/cut.txt --secret /tmp/tk/log.key 2>/dev/null || echo no"),
        "no\n");
}

INSTANTIATE_TEST_SUITE_P(
    HandOff, LogKeyCases,
    testing::Values(
        LogKeyCase{"SealedToTheLogKey", kInstallLogKey, ""},
        // Two whole chunks: the last, empty one still says the log ends there.
        LogKeyCase{"LogOfWholeChunks",
                   kInstallLogKey + " && head -c " +
                       std::to_string(2 * tarvex::kSealedLogChunkBytes) +
                       " /dev/urandom | base64 -w 0 | head -c " +
                       std::to_string(2 * tarvex::kSealedLogChunkBytes) + " > /home/pi/log.txt",
                   ""},
        LogKeyCase{"LogKeyWritableByPi", kInstallLogKey + " && chown 1000 " + kLogKeys + "/log.pub",
                   formatText(tarvex::kReasonOthersCanWrite, (kLogKeys + "/log.pub").c_str())},
        LogKeyCase{"TwoLogKeys",
                   kInstallLogKey + " && cp -p " + kLogKeys + "/log.pub " + kLogKeys + "/b.pub",
                   tarvex::kReasonTwoLogKeys},
        LogKeyCase{"NoLogKeyInTheDirectory", kLogKeyDir, tarvex::kReasonNoLogKey},
        // A key that signs does not open logs.
        LogKeyCase{"SigningKeyAsLogKey",
                   kLogKeyDir + " && install -m 644 /tmp/tk/a.pub " + kLogKeys + "/",
                   formatText(tarvex::kReasonNotALogKey, (kLogKeys + "/a.pub").c_str())},
        // Sealing is for devices that trust keys only.
        LogKeyCase{"WithoutTrustTheLogGoesPlain",
                   kInstallLogKey + " && rm -r " + tarvex::kTrustedKeysDir, "", false}),
    [](const testing::TestParamInfo<LogKeyCase>& info) { return info.param.name; });

}  // namespace
