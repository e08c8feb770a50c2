// Signatures made by the real minisign tool, in both of its formats, checked
// by the daemon's own reading of them; and every way one must fail.
#include <gtest/gtest.h>

#include <string>

#include "base/format_text.hpp"
#include "sandbox_device.hpp"
#include "tarvex_constants.hpp"
#include "trust/signature.hpp"
#include "trust/trust_readers.hpp"

namespace {

using sandbox::fileText;
using sandbox::output;
using sandbox::sh;

// Two key pairs without passwords; "a" is the trusted one.
class Signatures : public testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(
            sh("rm -rf /tmp/sig && mkdir /tmp/sig && cd /tmp/sig && "
               "minisign -G -W -p a.pub -s a.key >/dev/null && "
               "minisign -G -W -p b.pub -s b.key >/dev/null"));
    }
    void SetUp() override {
        REQUIRE_SANDBOX();
        const auto key = parsePublicKey(fileText("/tmp/sig/a.pub"), "a.pub");
        ASSERT_TRUE(key) << key.why();
        trusted_ = *key;
    }
    PublicKey trusted_{};
};

struct SignatureCase {
    const char* name;
    std::string make;  // in /tmp/sig: makes s.sh and s.sh.minisig
    bool verifies;
    std::string refusal;
};

class SignatureCases : public Signatures, public testing::WithParamInterface<SignatureCase> {};

TEST_P(SignatureCases, VerifyAsTheToolDoes) {
    const SignatureCase& row = GetParam();
    ASSERT_TRUE(sh(std::string("cd /tmp/sig && rm -f s.sh* && printf 'echo hello\\n' > s.sh && ") +
                   row.make));
    const auto comment =
        verifySignature(fileText("/tmp/sig/s.sh"), fileText("/tmp/sig/s.sh.minisig"), {trusted_});
    const bool verified = static_cast<bool>(comment);
    const std::string refusal = verified ? "" : comment.why();
    EXPECT_EQ(verified, row.verifies) << refusal;
    EXPECT_EQ(verified ? *comment : "",
              verified ? output("sed -n '3s/^trusted comment: //p' /tmp/sig/s.sh.minisig"
                                " | tr -d '\\r\\n'")
                       : "");
    std::string expected = row.refusal;
    const auto at = expected.find("<b>");
    if (at != std::string::npos) {
        // The untrusted key's id, as minisign names its public key.
        expected.replace(at, 3, output("head -n1 /tmp/sig/b.pub | awk '{printf \"%s\", $NF}'"));
    }
    EXPECT_EQ(refusal, expected);
    // The tool itself agrees, when told to take prehashed signatures only.
    EXPECT_EQ(sh("cd /tmp/sig && minisign -Vq -H -p a.pub -m s.sh 2>/dev/null"), row.verifies);
}

// The other key's signature, under the trusted key's id: a forger's best try.
const char* const kForgeKeyId =
    "python3 -c \"import base64,sys; p=base64.b64decode(open('a.pub').read().split()[-1]); "
    "l=open('s.sh.minisig').read().split('\\n'); s=bytearray(base64.b64decode(l[1])); "
    "s[2:10]=p[2:10]; l[1]=base64.b64encode(bytes(s)).decode(); "
    "open('s.sh.minisig','w').write('\\n'.join(l))\"";

// s.sh becomes the BLAKE2b-512 digest of what was signed, and the signature's
// tag "ED" becomes "Ed".
const char* const kRelabel =
    "python3 -c \"import base64,hashlib; d=hashlib.blake2b(open('s.sh','rb').read()).digest(); "
    "open('s.sh','wb').write(d); l=open('s.sh.minisig').read().split('\\n'); "
    "s=bytearray(base64.b64decode(l[1])); s[0:2]=b'Ed'; l[1]=base64.b64encode(bytes(s)).decode(); "
    "open('s.sh.minisig','w').write('\\n'.join(l))\"";

INSTANTIATE_TEST_SUITE_P(
    Files, SignatureCases,
    testing::Values(
        SignatureCase{"Prehashed", "minisign -S -s a.key -m s.sh >/dev/null", true, ""},
        SignatureCase{"Legacy", "minisign -S -l -s a.key -m s.sh >/dev/null", false,
                      tarvex::kReasonLegacySignature},
        // The tag is not signed: relabelled, the prehashed signature of s.sh
        // verifies as legacy for a file holding only the script's digest.
        SignatureCase{"PrehashedRelabelledAsLegacy",
                      std::string("minisign -S -s a.key -m s.sh >/dev/null && ") + kRelabel, false,
                      tarvex::kReasonLegacySignature},
        SignatureCase{"WithTrustedComment",
                      "minisign -S -s a.key -t 'release 7 for the fleet' -m s.sh >/dev/null", true,
                      ""},
        SignatureCase{"CarriageReturnLineEnds",
                      "minisign -S -s a.key -m s.sh >/dev/null && sed -i 's/$/\\r/' s.sh.minisig",
                      true, ""},
        SignatureCase{"UnknownKey", "minisign -S -s b.key -m s.sh >/dev/null", false,
                      formatText(tarvex::kReasonUntrustedKey, "<b>")},
        SignatureCase{"ScriptByteChanged",
                      "minisign -S -s a.key -m s.sh >/dev/null && printf 'echo hellO\\n' > s.sh",
                      false, tarvex::kReasonScriptChanged},
        SignatureCase{"LegacyScriptByteChanged",
                      "minisign -S -l -s a.key -m s.sh >/dev/null && printf 'echo hellO\\n' > s.sh",
                      false, tarvex::kReasonLegacySignature},
        SignatureCase{"TrustedCommentChanged",
                      "minisign -S -s a.key -t 'release 7' -m s.sh >/dev/null && "
                      "sed -i 's/^trusted comment: release 7$/trusted comment: release 8/' "
                      "s.sh.minisig",
                      false, tarvex::kReasonCommentChanged},
        SignatureCase{"OtherKeySignatureUnderTrustedKeyId",
                      std::string("minisign -S -s b.key -m s.sh >/dev/null && ") + kForgeKeyId,
                      false, tarvex::kReasonScriptChanged},
        SignatureCase{"Truncated",
                      "minisign -S -s a.key -m s.sh >/dev/null && head -n 3 s.sh.minisig > t && "
                      "mv t s.sh.minisig",
                      false, tarvex::kReasonBadSignatureFile},
        SignatureCase{"SignatureLineGarbled",
                      "minisign -S -s a.key -m s.sh >/dev/null && sed -i '2s/^..../@@@@/' "
                      "s.sh.minisig",
                      false, tarvex::kReasonBadSignatureFile}),
    [](const testing::TestParamInfo<SignatureCase>& info) { return info.param.name; });

TEST_F(Signatures, KeyIdReadsAsMinisignPrintsIt) {
    EXPECT_EQ(keyIdText(trusted_.keyId),
              output("head -n1 /tmp/sig/a.pub | awk '{printf \"%s\", $NF}'"));
    // A key minisign listed as 0E35B2F25C8A835D would be named without its zero.
    EXPECT_EQ(keyIdText({0x5D, 0x83, 0x8A, 0x5C, 0xF2, 0xB2, 0x35, 0x0E}), "E35B2F25C8A835D");
}

}  // namespace
