#include "update_look.hpp"

namespace {

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
        RefusalCase{
            "ScriptOverTheCap",
            "head -c " + std::to_string(tarvex::kMaxSignedScriptBytes) +
                " /dev/zero | tr '\\0' '#' >> " + kScript + " && minisign -S -s /tmp/tk/a.key -m " +
                kScript + " >/dev/null",
            formatText(tarvex::kReasonTooLarge, kScriptName.c_str(), tarvex::kMaxSignedScriptBytes),
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
        RefusalCase{
            "KeyFileTooLarge", "head -c 5000 /dev/zero >> " + kKeys + "/a.pub",
            noKey(formatText(tarvex::kReasonTooLarge, (kKeys + "/a.pub").c_str(), size_t{4096}))},
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
                    stateUnreadable(formatText(tarvex::kReasonStateBadLine, size_t{1}))},
        RefusalCase{"StateIsALink", "ln -s /etc/passwd " + kState,
                    stateUnreadable(formatText(tarvex::kReasonIsALink, "it"))},
        RefusalCase{"ReleaseCannotBeRecorded",
                    std::string("mkdir ") + tarvex::kStateDir + "/" + tarvex::kReleaseStateTempName,
                    formatText(tarvex::kReasonCannotRecordRelease, 42ULL, "Is a directory")}),
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

}  // namespace
