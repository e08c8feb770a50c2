// The release a signed script runs at, recorded in the device's state.
#include "update_look.hpp"

namespace {

struct TrustedRunCase {
    const char* name;
    std::string comment;  // "" for "folder:_QuorlUpdate release:42"
    std::string stateBefore;
    std::string stateAfter;
    std::string planted = "true";  // what pi left in the state directory
};

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

}  // namespace
