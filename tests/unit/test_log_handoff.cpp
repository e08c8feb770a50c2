// The log handed over to the key: whole or not at all, durable before it
// leaves the device, nothing lost of what is written meanwhile, and sealed
// where the device has a log key.
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "update_look.hpp"

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
