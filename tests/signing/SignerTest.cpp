// The signer object called by name, as hosts call it: what it signs is
// checked with OpenSSL's own command, and what it refuses comes back as an
// automation exception with its description and code.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "platform/win/WinError.h"
#include "tests/signing/SignerCalls.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ostrel::test;
using ::testing::HasSubstr;

using Signer = SignerFixture;

TEST_F(Signer, RsaSignaturesOfEveryDigestAndFormatVerifyAndAChangedTextDoesNot) {
    const TestCert cert = MakeCert();
    AddToStore(cert);
    WriteFile(m_home.Path() / "ca.pem", cert.CertPem());
    const std::string text = "Pay 100 to Bob, Grüße";
    for (const char* digest : {"SHA-256", "SHA-384", "SHA-512"})
        for (const char* format : {"CMS", "CAdES-B"})
            for (const bool detached : {true, false}) {
                const std::string options = std::string(R"({"certificate": 0, "digest": ")") +
                                            digest + R"(", "format": ")" + format +
                                            R"(", "detached": )" + (detached ? "true" : "false") +
                                            "}";
                SCOPED_TRACE(options);
                const Answer a = Sign(text, options);
                ASSERT_EQ(a.hr, S_OK) << a.description;
                const bool cades = std::string(format) != "CMS";
                EXPECT_EQ(Verify(a.text, text, detached, cades), 0);
                if (detached) {
                    EXPECT_NE(Verify(a.text, text + " ", detached, cades), 0);
                }
            }
}

TEST_F(Signer, TheTextHasTheControlsLineRuleAndCarriesTheAttributesOfItsFormat) {
    AddToStore(MakeCert());
    const Answer cms = Sign("text", R"({"certificate": 0})");
    ASSERT_EQ(cms.hr, S_OK) << cms.description;
    // A break after the first four characters, then after every 76.
    EXPECT_EQ(cms.text.substr(4, 2), "\r\n");
    EXPECT_EQ(cms.text.substr(6 + 76, 2), "\r\n");
    const auto cmsDer = DecodeBase64Text(cms.text);
    WriteFile(m_home.Path() / "cms.der", std::string(cmsDer.begin(), cmsDer.end()));
    const std::string cmsDump = RunCommand("openssl cms -cmsout -print -inform DER -in '" +
                                           (m_home.Path() / "cms.der").string() + "'")
                                    .out;
    EXPECT_THAT(cmsDump, HasSubstr("signingTime"));
    EXPECT_THAT(cmsDump, HasSubstr("sha256"));
    EXPECT_THAT(cmsDump, ::testing::Not(HasSubstr("id-smime-aa-signingCertificateV2")));

    const Answer cades = Sign("text", R"({"certificate": 0, "format": "CAdES-B"})");
    ASSERT_EQ(cades.hr, S_OK) << cades.description;
    const auto der = DecodeBase64Text(cades.text);
    WriteFile(m_home.Path() / "cades.der", std::string(der.begin(), der.end()));
    const std::string dump = RunCommand("openssl cms -cmsout -print -inform DER -in '" +
                                        (m_home.Path() / "cades.der").string() + "'")
                                 .out;
    EXPECT_THAT(dump, HasSubstr("id-smime-aa-signingCertificateV2"));
    EXPECT_THAT(dump, HasSubstr("signingTime"));
}

TEST_F(Signer, BadOptionsAreInvalidArgumentsThatSayWhatIsWrong) {
    AddToStore(MakeCert());
    struct Case {
        const char* options;
        const char* says;
    };
    for (const Case& c : {
             Case{"{", "not JSON"},
             Case{R"({"certificate": 0, "color": 1})", "\"color\" is unknown"},
             Case{R"({"certificate": 0, "digest": "MD5"})", "\"MD5\" is not offered"},
             Case{R"({"certificate": 0, "digest": "SHA-1"})", "\"SHA-1\" is not offered"},
             Case{R"({"certificate": "0"})", "not \"0\""},
             Case{R"({"certificate": 1})", "no certificate at position 1"},
             Case{R"({"certificate": 70000})", "no certificate at position 70000"},
         }) {
        SCOPED_TRACE(c.options);
        const Answer a = Sign("text", c.options);
        EXPECT_EQ(a.hr, DISP_E_EXCEPTION);
        EXPECT_EQ(a.scode, HRESULT(E_INVALIDARG));
        EXPECT_THAT(a.description, HasSubstr(c.says));
        EXPECT_TRUE(a.text.empty());
    }
    // The chooser refuses the same options the same way.
    const Answer chooser = CallByName(u"ChooseCertificate", {R"({"filter": {"age": 3}})"});
    EXPECT_EQ(chooser.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(chooser.scode, HRESULT(E_INVALIDARG));
    EXPECT_THAT(chooser.description, HasSubstr("\"filter.age\" is unknown"));
}

TEST_F(Signer, FailuresWhileSigningCarryAnotherCodeAndNoSignature) {
    AddToStore(MakeCert({.notBeforeDays = -30, .notAfterDays = -1}));
    AddToStore(MakeCert(), false);  // no key
    const Answer expired = Sign("text", R"({"certificate": 0})");
    EXPECT_EQ(expired.hr, DISP_E_EXCEPTION);
    EXPECT_NE(expired.scode, HRESULT(E_INVALIDARG));
    EXPECT_THAT(expired.description, HasSubstr("position 0 has expired"));
    const Answer keyless = Sign("text", R"({"certificate": 1})");
    EXPECT_EQ(keyless.hr, DISP_E_EXCEPTION);
    EXPECT_NE(keyless.scode, HRESULT(E_INVALIDARG));
    EXPECT_NE(keyless.scode, 0);
    EXPECT_THAT(keyless.description, HasSubstr("The text cannot be signed"));
}

TEST_F(Signer, WithoutAPositionTheUserChoosesAndCancellingSignsNothing) {
    AddToStore(MakeCert());
    // No user interface here: the chooser cannot be shown, nothing is chosen.
    const Answer a = Sign("text", "{}");
    EXPECT_EQ(a.hr, DISP_E_EXCEPTION);
    EXPECT_NE(a.scode, HRESULT(E_INVALIDARG));
    EXPECT_THAT(a.description, HasSubstr("No certificate was chosen"));
    EXPECT_EQ(CallByName(u"ChooseCertificate", {""}).position, -1);
}

// Keys other than RSA with PKCS#1 v1.5: each signs with the algorithm of its
// kind (the message names it, with the PSS parameters of the digest), and
// OpenSSL accepts every digest and format, detached and attached, and
// refuses the signature once the text is changed.
struct KeyKind {
    const char* name;
    CertOptions cert;
    const char* padding;  // the option given, or nothing
};

void PrintTo(const KeyKind& kind, std::ostream* os) {
    *os << kind.name;
}

class SignerKeys : public SignerFixture, public ::testing::WithParamInterface<KeyKind> {};

// The signer's algorithm as `openssl cms -cmsout -print` shows it, for a
// digest ("SHA-256"...).
std::vector<std::string> AlgorithmLines(const KeyKind& kind, const std::string& digest) {
    const std::string bits = digest.substr(4);  // "256"
    if (kind.cert.ec) return {"algorithm: ecdsa-with-SHA" + bits};
    // The salt length is the digest's, in hex: 0x20, 0x30, 0x40.
    static const std::map<std::string, std::string> salt = {
        {"256", "20"}, {"384", "30"}, {"512", "40"}};
    return {"algorithm: rsassaPss", ":sha" + bits, ":mgf1", "INTEGER           :" + salt.at(bits)};
}

TEST_P(SignerKeys, SignEveryDigestAndFormatThatOpensslAcceptsAndAChangedTextItRefuses) {
    const KeyKind& kind = GetParam();
    const TestCert cert = MakeCert(kind.cert);
    AddToStore(cert);
    WriteFile(m_home.Path() / "ca.pem", cert.CertPem());
    const std::string text = "Pay 100 to Bob, Grüße";
    for (const char* digest : {"SHA-256", "SHA-384", "SHA-512"})
        for (const char* format : {"CMS", "CAdES-B"})
            for (const bool detached : {true, false}) {
                std::string options = std::string(R"({"certificate": 0, "digest": ")") + digest +
                                      R"(", "format": ")" + format + R"(", "detached": )" +
                                      (detached ? "true" : "false");
                if (kind.padding != nullptr)
                    options += std::string(R"(, "padding": ")") + kind.padding + "\"";
                options += "}";
                SCOPED_TRACE(options);
                const Answer a = Sign(text, options);
                ASSERT_EQ(a.hr, S_OK) << a.description;
                const auto der = DecodeBase64Text(a.text);
                const bool cades = std::string(format) != "CMS";
                EXPECT_EQ(VerifyDer(der, text, detached, cades), 0);
                if (detached)
                    EXPECT_NE(VerifyDer(der, text + " ", detached, cades), 0);
                else
                    EXPECT_NE(VerifyDer(WithChangedContent(der, "Pay 100"), text, detached, cades),
                              0);
                if (detached && !cades) {
                    const std::string dump = Dump(der);
                    for (const std::string& line : AlgorithmLines(kind, digest))
                        EXPECT_THAT(dump, HasSubstr(line));
                }
            }
}

INSTANTIATE_TEST_SUITE_P(
    FileKeys, SignerKeys,
    ::testing::Values(KeyKind{"RsaPss", {}, "PSS"},
                      KeyKind{"EcP256", {.ec = true, .curve = "P-256"}, nullptr},
                      KeyKind{"EcP384", {.ec = true, .curve = "P-384"}, "PKCS1"},
                      KeyKind{"EcP521", {.ec = true, .curve = "P-521"}, nullptr}),
    [](const ::testing::TestParamInfo<KeyKind>& info) { return std::string(info.param.name); });

TEST_F(Signer, AnEcKeyAskedForPssIsRefusedAndSignsNothing) {
    AddToStore(MakeCert({.ec = true, .curve = "P-256"}));
    for (const char* format : {"CMS", "CAdES-B", "CAdES-T"}) {
        SCOPED_TRACE(format);
        // CAdES-T names an authority nobody answers at: the refusal comes
        // before anything is asked of it.
        const Answer a =
            Sign("text", std::string(R"({"certificate": 0, "padding": "PSS", )") +
                             R"("tsa": "http://127.0.0.1:1/", "format": ")" + format + "\"}");
        EXPECT_EQ(a.hr, DISP_E_EXCEPTION);
        EXPECT_EQ(a.scode, HRESULT(E_INVALIDARG));
        EXPECT_THAT(a.description, HasSubstr("\"PSS\" is for RSA keys"));
        EXPECT_THAT(a.description, HasSubstr("EC key"));
        EXPECT_TRUE(a.text.empty());
    }
}

}  // namespace
