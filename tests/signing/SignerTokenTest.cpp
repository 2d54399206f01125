// The signer with keys on a SoftHSM2 token: RSA-PSS and ECDSA P-256 sign
// every digest and format OpenSSL accepts, a time stamp included, and an EC
// key asked for PSS is refused before the token is asked for its PIN.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/seams/TokenPrompt.h"
#include "tests/signing/SignerCalls.h"
#include "tests/support/SoftTokens.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TestTsa.h"

namespace {

using namespace ostrel::test;
using ::testing::HasSubstr;

class SignerTokens : public SignerFixture {
protected:
    void SetUp() override {
        SignerFixture::SetUp();
        if (!SoftTokens::Available()) GTEST_SKIP() << "SoftHSM2 or its tools are not installed";
        m_tokens.emplace(m_home.Path());
        m_tokens->AddToken("Keys");
        m_certs.push_back(MakeCert({.subject = "/CN=Token RSA", .serialHex = "A0"}));
        m_certs.push_back(MakeCert(
            {.subject = "/CN=Token P-256", .serialHex = "EC", .ec = true, .curve = "P-256"}));
        for (std::size_t i = 0; i < m_certs.size(); ++i) {
            const std::string id = "0" + std::to_string(i + 1);
            m_tokens->ImportKey("Keys", m_certs[i], id);
            m_tokens->ImportCert("Keys", m_certs[i], id);
        }
    }

    std::optional<SoftTokens> m_tokens;
    std::vector<TestCert> m_certs;
};

TEST_F(SignerTokens, RsaPssAndP256KeysSignEveryDigestAndFormatThatOpensslAccepts) {
    ScriptedPins user({"1234", "1234", "1234", "1234"});
    platform::seams::ScopedTokenPrompt prompt(&user);
    const std::string text = "Pay 100 to Bob";
    const struct {
        long position;
        const char* padding;
        const char* algorithm;  // as openssl cms -cmsout -print names it
    } kinds[] = {{0, "PSS", "rsassaPss"}, {1, "PKCS1", "ecdsa-with-SHA"}};
    for (const auto& kind : kinds) {
        WriteFile(m_home.Path() / "ca.pem", m_certs[std::size_t(kind.position)].CertPem());
        for (const char* digest : {"SHA-256", "SHA-384", "SHA-512"})
            for (const char* format : {"CMS", "CAdES-B"})
                for (const bool detached : {true, false}) {
                    const std::string options =
                        R"({"certificate": )" + std::to_string(kind.position) +
                        R"(, "padding": ")" + kind.padding + R"(", "digest": ")" + digest +
                        R"(", "format": ")" + format + R"(", "detached": )" +
                        (detached ? "true" : "false") + "}";
                    SCOPED_TRACE(options);
                    const Answer a = Sign(text, options);
                    ASSERT_EQ(a.hr, S_OK) << a.description;
                    const auto der = DecodeBase64Text(a.text);
                    const bool cades = std::string(format) != "CMS";
                    EXPECT_EQ(VerifyDer(der, text, detached, cades), 0);
                    if (detached)
                        EXPECT_NE(VerifyDer(der, "Pay 900 to Bob", detached, cades), 0);
                    else
                        EXPECT_NE(
                            VerifyDer(WithChangedContent(der, "Pay 100"), text, detached, cades),
                            0);
                    if (detached && !cades) {
                        EXPECT_THAT(Dump(der), HasSubstr(kind.algorithm));
                    }
                }
    }
}

TEST_F(SignerTokens, ATokenKeySignsCadesTAndAnEcKeyRefusesPssBeforeThePin) {
    ScriptedPins user({"1234", "1234"});
    platform::seams::ScopedTokenPrompt prompt(&user);
    const Answer refused = Sign("text", R"({"certificate": 1, "padding": "PSS"})");
    EXPECT_EQ(refused.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(refused.scode, HRESULT(E_INVALIDARG));
    EXPECT_THAT(refused.description, HasSubstr("\"PSS\" is for RSA keys"));
    EXPECT_TRUE(user.requests.empty());

    const TestTsa& tsa = TestTsa::Shared();
    WriteFile(m_home.Path() / "ca.pem", m_certs[1].CertPem());
    const Answer stamped = Sign(
        "text", R"({"certificate": 1, "format": "CAdES-T", "tsa": ")" + tsa.Url("good") + "\"}");
    ASSERT_EQ(stamped.hr, S_OK) << stamped.description;
    const auto der = DecodeBase64Text(stamped.text);
    EXPECT_EQ(VerifyDer(der, "text", true, true), 0);
    EXPECT_THAT(Dump(der), HasSubstr("id-smime-aa-timeStampToken"));
}

}  // namespace
