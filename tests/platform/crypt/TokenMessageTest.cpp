// Signed messages made with keys on a SoftHSM2 token: every digest with RSA
// PKCS#1 v1.5, RSA-PSS and ECDSA, as a verifier outside the platform sees them.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/crypt/WinCrypt.h"
#include "platform/seams/TokenPrompt.h"
#include "platform/win/LastError.h"
#include "platform/win/Time.h"
#include "platform/win/WinError.h"
#include "tests/support/SoftTokens.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ostrel::test;
using Bytes = std::vector<unsigned char>;

const std::string kText = "Pay 100 to Bob";

class TokenMessages : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SoftTokens::Available()) GTEST_SKIP() << "SoftHSM2 or its tools are not installed";
        m_tokens.emplace(m_home.Path());
        m_tokens->AddToken("Keys");
        m_certs.push_back(MakeCert({.subject = "/CN=Token RSA", .serialHex = "A0"}));
        for (const char* curve : {"P-256", "P-384", "P-521"})
            m_certs.push_back(MakeCert({.subject = std::string("/CN=Token ") + curve,
                                        .serialHex = "EC",
                                        .ec = true,
                                        .curve = curve}));
        for (std::size_t i = 0; i < m_certs.size(); ++i) {
            const std::string id = "0" + std::to_string(i + 1);
            m_tokens->ImportKey("Keys", m_certs[i], id);
            m_tokens->ImportCert("Keys", m_certs[i], id);
        }
        m_store = CertOpenSystemStoreA(0, "MY");
        ASSERT_NE(m_store, nullptr);
        PCCERT_CONTEXT ctx = nullptr;
        while ((ctx = CertEnumCertificatesInStore(
                    m_store, ctx != nullptr ? CertDuplicateCertificateContext(ctx) : nullptr)) !=
               nullptr)
            m_contexts.push_back(ctx);
        ASSERT_EQ(m_contexts.size(), m_certs.size());
    }
    void TearDown() override {
        for (PCCERT_CONTEXT ctx : m_contexts) CertFreeCertificateContext(ctx);
        if (m_store != nullptr) {
            EXPECT_TRUE(CertCloseStore(m_store, CERT_CLOSE_STORE_CHECK_FLAG));
        }
    }

    Bytes Sign(std::size_t index, const char* digest, bool pss, bool detached,
               DWORD* error = nullptr) {
        FILETIME when = platform::win::FileTimeFromUnixSeconds(1700000000);
        BYTE time[32];
        DWORD timeSize = sizeof time;
        EXPECT_TRUE(CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                      szOID_RSA_signingTime, &when, time, &timeSize));
        CRYPT_ATTR_BLOB blob{timeSize, time};
        CRYPT_ATTRIBUTE attribute{const_cast<LPSTR>(szOID_RSA_signingTime), 1, &blob};
        PCCERT_CONTEXT signer = m_contexts[index];
        CRYPT_SIGN_MESSAGE_PARA para{};
        para.cbSize = sizeof para;
        para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
        para.pSigningCert = signer;
        para.HashAlgorithm.pszObjId = const_cast<LPSTR>(digest);
        para.cMsgCert = 1;
        para.rgpMsgCert = &signer;
        para.cAuthAttr = 1;
        para.rgAuthAttr = &attribute;
        if (pss) para.HashEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_SSA_PSS);
        const BYTE* pieces[1] = {reinterpret_cast<const BYTE*>(kText.data())};
        DWORD lengths[1] = {DWORD(kText.size())};
        DWORD size = 0;
        Bytes out;
        if (CryptSignMessage(&para, detached, 1, pieces, lengths, nullptr, &size)) {
            out.resize(size);
            if (CryptSignMessage(&para, detached, 1, pieces, lengths, out.data(), &size))
                out.resize(size);
            else
                out.clear();
        }
        if (error != nullptr) *error = out.empty() ? GetLastError() : 0;
        return out;
    }

    bool OpenSslAccepts(const Bytes& message, std::size_t index, const std::string& content,
                        bool detached) {
        const auto dir = m_home.Path();
        WriteFile(dir / "sig.der", std::string(message.begin(), message.end()));
        WriteFile(dir / "content.txt", content);
        WriteFile(dir / "ca.pem", m_certs[index].CertPem());
        std::string line = "openssl cms -verify -binary -purpose any -inform DER -in '" +
                           (dir / "sig.der").string() + "' -CAfile '" + (dir / "ca.pem").string() +
                           "' -out /dev/null 2>/dev/null";
        if (detached) line += " -content '" + (dir / "content.txt").string() + "'";
        return RunCommand(line).status == 0;
    }

    TempHome m_home;
    std::optional<SoftTokens> m_tokens;
    std::vector<TestCert> m_certs;
    std::vector<PCCERT_CONTEXT> m_contexts;
    HCERTSTORE m_store = nullptr;
};

TEST_F(TokenMessages, EveryDigestAndKeyKindSignsMessagesAVerifierAcceptsForTheirContentOnly) {
    ScriptedPins user({"1234"});
    platform::seams::ScopedTokenPrompt prompt(&user);
    const struct {
        const char* name;
        std::size_t index;
        bool pss;
    } kinds[] = {{"RSA-PKCS1", 0, false},
                 {"RSA-PSS", 0, true},
                 {"P-256", 1, false},
                 {"P-384", 2, false},
                 {"P-521", 3, false}};
    for (const auto& kind : kinds)
        for (const char* digest : {szOID_NIST_sha256, szOID_NIST_sha384, szOID_NIST_sha512})
            for (const bool detached : {true, false}) {
                SCOPED_TRACE(testing::Message() << kind.name << " " << digest
                                                << (detached ? " detached" : " attached"));
                const Bytes message = Sign(kind.index, digest, kind.pss, detached);
                ASSERT_FALSE(message.empty()) << std::hex << GetLastError();
                EXPECT_TRUE(OpenSslAccepts(message, kind.index, kText, detached));
                if (detached) {
                    EXPECT_FALSE(OpenSslAccepts(message, kind.index, "Pay 900 to Bob", true));
                } else {
                    // The content inside the message, changed.
                    Bytes changed = message;
                    const std::string from = "100";
                    const auto at =
                        std::search(changed.begin(), changed.end(), from.begin(), from.end());
                    ASSERT_NE(at, changed.end());
                    *at = '9';
                    EXPECT_FALSE(OpenSslAccepts(changed, kind.index, kText, false));
                }
            }
    EXPECT_EQ(user.requests.size(), 1u);
}

TEST_F(TokenMessages, AnEcKeyAskedForPssFailsWithoutAPin) {
    ScriptedPins user({"1234"});
    platform::seams::ScopedTokenPrompt prompt(&user);
    DWORD error = 0;
    EXPECT_TRUE(Sign(1, szOID_NIST_sha256, true, true, &error).empty());
    EXPECT_NE(error, 0u);
    EXPECT_TRUE(user.requests.empty());
}

}  // namespace
