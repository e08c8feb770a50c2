// The texts a device that trusts keys reads, taken apart by their pure
// readers: a public key, what a trusted comment says and the release state.
#include <gtest/gtest.h>

#include <string>

#include "base/format_text.hpp"
#include "tarvex_constants.hpp"
#include "trust/trust_readers.hpp"

namespace {

struct PublicKeyCase {
    const char* name;
    std::string text;
    bool parses;
};

class PublicKeyFiles : public testing::TestWithParam<PublicKeyCase> {};

TEST_P(PublicKeyFiles, OnlyMinisignKeysParse) {
    const auto key = parsePublicKey(GetParam().text, "k.pub");
    EXPECT_EQ(static_cast<bool>(key), GetParam().parses) << key.why();
}

INSTANTIATE_TEST_SUITE_P(
    Texts, PublicKeyFiles,
    testing::Values(PublicKeyCase{"AsMinisignWritesIt",
                                  "untrusted comment: minisign public key D74935C9A1144FAF\n"
                                  "RWSvTxShyTVJ14D2rVLTnpZylxkqibsJybhTf9wCUtL6fJN61+nPrD2M\n",
                                  true},
                    PublicKeyCase{"KeyLineOnly",
                                  "RWSvTxShyTVJ14D2rVLTnpZylxkqibsJybhTf9wCUtL6fJN61+nPrD2M\n",
                                  false},
                    PublicKeyCase{"ShortKey",
                                  "untrusted comment: x\nRWSvTxShyTVJ14D2rVLTnpZylxkqibsJyb\n",
                                  false},
                    PublicKeyCase{"OtherAlgorithm",  // "Xd" in front instead of "Ed"
                                  "untrusted comment: x\n"
                                  "WGSvTxShyTVJ14D2rVLTnpZylxkqibsJybhTf9wCUtL6fJN61+nPrD2M\n",
                                  false},
                    PublicKeyCase{"Empty", "", false}),
    [](const testing::TestParamInfo<PublicKeyCase>& info) { return info.param.name; });

// What a maker's trusted comment binds a script to. problem "" means it parses.
struct CommentCase {
    const char* name;
    std::string comment;
    std::string folder;
    uint64_t release;
    std::string problem;
};

class TrustedComments : public testing::TestWithParam<CommentCase> {};

TEST_P(TrustedComments, FolderAndRelease) {
    const CommentCase& row = GetParam();
    const auto purpose = parseTrustedComment(row.comment);
    EXPECT_EQ(purpose.why(), row.problem);
    if (row.problem.empty() && purpose) {
        EXPECT_EQ(purpose->folder, row.folder);
        EXPECT_EQ(purpose->release, row.release);
    }
}

std::string notARelease(const char* token) { return formatText(tarvex::kReasonBadRelease, token); }

INSTANTIATE_TEST_SUITE_P(
    Comments, TrustedComments,
    testing::Values(
        CommentCase{"AsMakersSign", "folder:_QuorlUpdate release:42", "_QuorlUpdate", 42, ""},
        CommentCase{"TabsBlanksAndOtherTokens", "\tfleet:7  release:0\tfolder:_QuorlPostUpdate x ",
                    "_QuorlPostUpdate", 0, ""},
        CommentCase{"LargestRelease", "folder:f release:9223372036854775807", "f",
                    9223372036854775807ULL, ""},
        CommentCase{"ReleaseBeyond63Bits", "folder:f release:9223372036854775808", "", 0,
                    notARelease("9223372036854775808")},
        CommentCase{"ReleaseBeyond64Bits", "folder:f release:18446744073709551616", "", 0,
                    notARelease("18446744073709551616")},
        CommentCase{"SignedRelease", "folder:f release:+4", "", 0, notARelease("+4")},
        CommentCase{"EmptyRelease", "folder:f release:", "", 0, notARelease("")},
        CommentCase{"TimestampOnly", "timestamp:1700000000\tfile:quorlupdate.sh", "", 0,
                    tarvex::kReasonNoFolder},
        CommentCase{"EmptyFolder", "folder: release:1", "", 0, tarvex::kReasonNoFolder},
        CommentCase{"FolderIsCaseSensitive", "Folder:f release:1", "", 0, tarvex::kReasonNoFolder},
        CommentCase{"TwoFolders", "folder:a folder:b release:1", "", 0, tarvex::kReasonTwoFolders},
        CommentCase{"NoRelease", "folder:f", "", 0, tarvex::kReasonNoRelease},
        CommentCase{"TwoReleases", "folder:f release:1 release:2", "", 0,
                    tarvex::kReasonTwoReleases}),
    [](const testing::TestParamInfo<CommentCase>& info) { return info.param.name; });

// The release state file as the daemon writes it, and as damage leaves it.
struct StateCase {
    const char* name;
    std::string text;
    Releases releases;
    std::string problem;
};

class ReleaseStateTexts : public testing::TestWithParam<StateCase> {};

TEST_P(ReleaseStateTexts, ParseAndWriteBack) {
    const StateCase& row = GetParam();
    const auto releases = parseReleaseState(row.text);
    EXPECT_EQ(releases.why(), row.problem);
    EXPECT_EQ(releases ? *releases : Releases{}, row.releases);
    if (row.problem.empty() && releases) {
        EXPECT_EQ(formatReleaseState(*releases), row.text);
    }
}

std::string badLine(size_t number) { return formatText(tarvex::kReasonStateBadLine, number); }

INSTANTIATE_TEST_SUITE_P(
    Texts, ReleaseStateTexts,
    testing::Values(
        StateCase{"TwoFolders",
                  "_QuorlPostUpdate 7\n_QuorlUpdate 42\n",
                  {{"_QuorlPostUpdate", 7}, {"_QuorlUpdate", 42}},
                  ""},
        StateCase{"Largest", "f 9223372036854775807\n", {{"f", 9223372036854775807ULL}}, ""},
        StateCase{"Empty", "", {}, tarvex::kReasonStateEmpty},
        StateCase{"CutOff", "_QuorlUpdate 42\n_QuorlPostUpdate 7", {}, badLine(2)},
        StateCase{"NotANumber", "_QuorlUpdate forty-two\n", {}, badLine(1)},
        StateCase{"TooLarge", "f 9223372036854775808\n", {}, badLine(1)},
        StateCase{"CarriageReturn", "f 1\r\n", {}, badLine(1)},
        StateCase{"TwoBlanks", "f  1\n", {}, badLine(1)},
        StateCase{"NoFolder", " 1\n", {}, badLine(1)},
        StateCase{"BlankLine", "f 1\n\n", {}, badLine(2)},
        StateCase{
            "FolderTwice", "f 1\nf 2\n", {}, formatText(tarvex::kReasonStateRepeat, size_t{2})}),
    [](const testing::TestParamInfo<StateCase>& info) { return info.param.name; });

}  // namespace
