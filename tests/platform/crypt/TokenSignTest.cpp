// Signing with token keys by mechanism: RSA PKCS#1 v1.5 and PSS, ECDSA on the
// three curves, and the keys and tokens that cannot sign a given way.

#include <gtest/gtest.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <string>
#include <vector>

#include "platform/crypt/Certificate.h"
#include "platform/crypt/Ossl.h"
#include "platform/crypt/Tokens.h"
#include "platform/seams/TokenPrompt.h"
#include "platform/win/Failure.h"
#include "platform/win/WinError.h"
#include "tests/support/SoftTokens.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ostrel::test;
namespace fs = std::filesystem;
namespace crypt = platform::crypt;
using crypt::TokenMechanism;

// A self-signed certificate with a new key on the named curve.
TestCert CurveCert(const char* curve, const std::string& name, long serial) {
    TestCert out;
    out.key.reset(EVP_EC_gen(curve));
    out.cert.reset(X509_new());
    X509* x = out.cert.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial);
    X509_gmtime_adj(X509_getm_notBefore(x), -86400L);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400L * 30);
    X509_NAME* subject = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509_set_issuer_name(x, subject);
    X509_set_pubkey(x, out.key.get());
    X509_sign(x, out.key.get(), EVP_sha256());
    return out;
}

std::vector<BYTE> DigestOf(const EVP_MD* md, const std::string& text) {
    std::vector<BYTE> digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest.data(), &length, md, nullptr);
    digest.resize(length);
    return digest;
}

std::vector<BYTE> DigestInfoOf(const EVP_MD* md, const std::vector<BYTE>& digest) {
    X509_SIG* info = X509_SIG_new();
    X509_ALGOR* algorithm = nullptr;
    ASN1_OCTET_STRING* value = nullptr;
    X509_SIG_getm(info, &algorithm, &value);
    X509_ALGOR_set0(algorithm, OBJ_nid2obj(EVP_MD_get_type(md)), V_ASN1_NULL, nullptr);
    ASN1_OCTET_STRING_set(value, digest.data(), int(digest.size()));
    auto der = crypt::ossl::ToDer(info, i2d_X509_SIG);
    X509_SIG_free(info);
    return der;
}

// The request for `text` as a message builder makes it.
crypt::TokenSignRequest RequestFor(TokenMechanism mechanism, const EVP_MD* md,
                                   const std::string& text) {
    const auto digest = DigestOf(md, text);
    return {mechanism, mechanism == TokenMechanism::RsaPkcs ? DigestInfoOf(md, digest) : digest,
            mechanism == TokenMechanism::RsaPss ? EVP_MD_get_type(md) : 0};
}

// OpenSSL's own check of a signature over `text`, with PSS held to a salt as
// long as the digest.
bool OpenSslVerifies(const crypt::Certificate& cert, TokenMechanism mechanism, const EVP_MD* md,
                     const std::vector<BYTE>& signature, const std::string& text) {
    crypt::ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_PKEY_CTX* pctx = nullptr;
    bool ok =
        EVP_DigestVerifyInit(ctx.get(), &pctx, md, nullptr, X509_get0_pubkey(cert.X509Cert())) == 1;
    if (ok && mechanism == TokenMechanism::RsaPss)
        ok = EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) == 1 &&
             EVP_PKEY_CTX_set_rsa_mgf1_md(pctx, md) == 1 &&
             EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, EVP_MD_get_size(md)) == 1;
    ok = ok &&
         EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                          reinterpret_cast<const unsigned char*>(text.data()), text.size()) == 1;
    crypt::ossl::DropErrors();
    return ok;
}

struct Refusal {
    DWORD code = 0;
    std::string what;
};

Refusal SignFails(const crypt::Certificate& cert, const crypt::TokenSignRequest& request) {
    try {
        crypt::SignWithTokenKey(cert, request);
    } catch (const platform::Failure& failure) {
        return {failure.Code(), failure.what()};
    }
    return {};
}

class TokenSign : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SoftTokens::Available()) GTEST_SKIP() << "SoftHSM2 or its tools are not installed";
        m_tokens.emplace(m_home.Path(), ModuleUnderTest());
        m_tokens->AddToken("Keys");
    }
    void TearDown() override { ::unsetenv("OSTREL_TEST_P11_FAULT"); }

    virtual std::string ModuleUnderTest() { return SoftTokens::ModulePath(); }

    void Put(const TestCert& cert, const std::string& id) {
        m_tokens->ImportKey("Keys", cert, id);
        m_tokens->ImportCert("Keys", cert, id);
    }

    // The token certificates in store order.
    std::vector<std::shared_ptr<const crypt::Certificate>> Listed() {
        return crypt::TokenCertificates(nullptr);
    }

    TempHome m_home;
    std::optional<SoftTokens> m_tokens;
};

TEST_F(TokenSign, EcAndRsaKeysAreListedAndSignEveryDigestWithEveryMechanismTheyHave) {
    const TestCert rsa = MakeCert({.subject = "/CN=Token RSA", .serialHex = "A0"});
    Put(rsa, "01");
    Put(CurveCert(SN_X9_62_prime256v1, "Token P-256", 0x256), "02");
    Put(CurveCert(SN_secp384r1, "Token P-384", 0x384), "03");
    Put(CurveCert(SN_secp521r1, "Token P-521", 0x521), "04");
    const auto certs = Listed();
    ASSERT_EQ(certs.size(), 4u);
    for (const auto& cert : certs) {
        ASSERT_NE(cert->Token(), nullptr);
        EXPECT_TRUE(cert->Token()->keyVisible);
    }
    EXPECT_EQ(certs[0]->Der(), rsa.Der());

    ScriptedPins user({"1234"});
    platform::seams::ScopedTokenPrompt prompt(&user);
    const std::string text = "pay 10 to Ann";
    for (const EVP_MD* md : {EVP_sha256(), EVP_sha384(), EVP_sha512()}) {
        SCOPED_TRACE(EVP_MD_get0_name(md));
        for (const auto mechanism : {TokenMechanism::RsaPkcs, TokenMechanism::RsaPss}) {
            SCOPED_TRACE(crypt::MechanismName(mechanism));
            const auto signature =
                crypt::SignWithTokenKey(*certs[0], RequestFor(mechanism, md, text));
            EXPECT_EQ(signature.size(), 256u);
            EXPECT_TRUE(OpenSslVerifies(*certs[0], mechanism, md, signature, text));
            EXPECT_FALSE(OpenSslVerifies(*certs[0], mechanism, md, signature, text + "!"));
        }
        for (std::size_t i = 1; i < certs.size(); ++i) {
            SCOPED_TRACE(i);
            const auto signature =
                crypt::SignWithTokenKey(*certs[i], RequestFor(TokenMechanism::Ecdsa, md, text));
            // A DER SEQUENCE of two INTEGERs, not the token's r||s.
            ASSERT_GT(signature.size(), 8u);
            EXPECT_EQ(signature[0], 0x30);
            EXPECT_TRUE(OpenSslVerifies(*certs[i], TokenMechanism::Ecdsa, md, signature, text));
            EXPECT_FALSE(
                OpenSslVerifies(*certs[i], TokenMechanism::Ecdsa, md, signature, text + "!"));
        }
    }
    // One login for all of it.
    EXPECT_EQ(user.requests.size(), 1u);
    // The old form signs a DigestInfo as before.
    const auto old = crypt::SignWithTokenKey(
        *certs[0], RequestFor(TokenMechanism::RsaPkcs, EVP_sha256(), text).input);
    EXPECT_TRUE(OpenSslVerifies(*certs[0], TokenMechanism::RsaPkcs, EVP_sha256(), old, text));
}

TEST_F(TokenSign, AKeyOfTheWrongKindIsRefusedByNameAndMechanismBeforeAnyPin) {
    Put(MakeCert({.subject = "/CN=Token RSA", .serialHex = "A0"}), "01");
    Put(CurveCert(SN_X9_62_prime256v1, "Token P-256", 0x256), "02");
    const auto certs = Listed();
    ASSERT_EQ(certs.size(), 2u);
    ScriptedPins user({"1234"});
    platform::seams::ScopedTokenPrompt prompt(&user);
    const struct {
        std::size_t cert;
        TokenMechanism mechanism;
        const char* name;
    } cases[] = {
        {0, TokenMechanism::Ecdsa, "CKM_ECDSA"},
        {1, TokenMechanism::RsaPss, "CKM_RSA_PKCS_PSS"},
        {1, TokenMechanism::RsaPkcs, "CKM_RSA_PKCS"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto refusal =
            SignFails(*certs[c.cert], RequestFor(c.mechanism, EVP_sha256(), "text"));
        EXPECT_EQ(refusal.code, NTE_NOT_SUPPORTED) << refusal.what;
        EXPECT_NE(refusal.what.find(c.name), std::string::npos) << refusal.what;
        EXPECT_NE(refusal.what.find(certs[c.cert]->Token()->uri), std::string::npos)
            << refusal.what;
        EXPECT_NE(refusal.what.find("token=Keys"), std::string::npos) << refusal.what;
    }
    // The old form as well: an EC key has no DigestInfo signature.
    try {
        crypt::SignWithTokenKey(*certs[1], std::vector<BYTE>(51, 1));
        ADD_FAILURE() << "an EC key signed with CKM_RSA_PKCS";
    } catch (const platform::Failure& failure) {
        EXPECT_EQ(failure.Code(), NTE_NOT_SUPPORTED);
    }
    EXPECT_TRUE(user.requests.empty());
}

TEST_F(TokenSign, ARequestThatNoDigestFitsIsRefusedBeforeTheToken) {
    Put(MakeCert({.subject = "/CN=Token RSA", .serialHex = "A0"}), "01");
    const auto certs = Listed();
    ASSERT_EQ(certs.size(), 1u);
    ScriptedPins user({"1234"});
    platform::seams::ScopedTokenPrompt prompt(&user);
    auto request = RequestFor(TokenMechanism::RsaPss, EVP_sha256(), "text");
    request.digestNid = NID_sha1;
    EXPECT_EQ(SignFails(*certs[0], request).code, NTE_BAD_HASH);
    request.digestNid = NID_sha384;  // a SHA-256 digest said to be SHA-384
    EXPECT_EQ(SignFails(*certs[0], request).code, NTE_BAD_HASH);
    EXPECT_EQ(SignFails(*certs[0], {TokenMechanism::Ecdsa, {}, 0}).code, NTE_BAD_HASH);
    EXPECT_TRUE(user.requests.empty());
}

TEST_F(TokenSign, AKeyTheTokenAllowsOtherMechanismsOnlyIsRefusedForTheRest) {
    const TestCert cert = MakeCert({.subject = "/CN=PKCS1 only", .serialHex = "A1"});
    m_tokens->ImportKeyAllowing("Keys", cert, "01", "RSA-PKCS");
    m_tokens->ImportCert("Keys", cert, "01");
    const auto certs = Listed();
    ASSERT_EQ(certs.size(), 1u);
    ScriptedPins user({"1234"});
    platform::seams::ScopedTokenPrompt prompt(&user);
    const auto refusal =
        SignFails(*certs[0], RequestFor(TokenMechanism::RsaPss, EVP_sha384(), "text"));
    EXPECT_EQ(refusal.code, NTE_NOT_SUPPORTED) << refusal.what;
    EXPECT_NE(refusal.what.find("CKM_RSA_PKCS_PSS"), std::string::npos) << refusal.what;
    // The key it allows still signs, on the same session.
    const auto signature = crypt::SignWithTokenKey(
        *certs[0], RequestFor(TokenMechanism::RsaPkcs, EVP_sha384(), "text"));
    EXPECT_TRUE(
        OpenSslVerifies(*certs[0], TokenMechanism::RsaPkcs, EVP_sha384(), signature, "text"));
    EXPECT_EQ(user.requests.size(), 1u);
}

// The same token behind the fault-playing module, whose mechanism list can
// leave mechanisms out.
class TokenMechanisms : public TokenSign {
protected:
    std::string ModuleUnderTest() override {
        const char* bin = std::getenv("OSTREL_BIN");
        return ((bin != nullptr ? fs::path(bin)
                                : fs::read_symlink("/proc/self/exe").parent_path()) /
                "libostrel_test_p11_faults.so")
            .string();
    }
};

TEST_F(TokenMechanisms, AMechanismTheTokenLacksIsRefusedBeforeAnyPin) {
    Put(MakeCert({.subject = "/CN=Token RSA", .serialHex = "A0"}), "01");
    Put(CurveCert(SN_X9_62_prime256v1, "Token P-256", 0x256), "02");
    const auto certs = Listed();
    ASSERT_EQ(certs.size(), 2u);
    ScriptedPins user({"1234"});
    platform::seams::ScopedTokenPrompt prompt(&user);

    ::setenv("OSTREL_TEST_P11_FAULT", "nomech:0x0D", 1);  // CKM_RSA_PKCS_PSS
    auto refusal = SignFails(*certs[0], RequestFor(TokenMechanism::RsaPss, EVP_sha256(), "t"));
    EXPECT_EQ(refusal.code, NTE_NOT_SUPPORTED) << refusal.what;
    EXPECT_NE(refusal.what.find("CKM_RSA_PKCS_PSS"), std::string::npos) << refusal.what;
    EXPECT_NE(refusal.what.find("does not offer it"), std::string::npos) << refusal.what;
    EXPECT_TRUE(user.requests.empty());

    ::setenv("OSTREL_TEST_P11_FAULT", "nosign:0x1041", 1);  // CKM_ECDSA
    refusal = SignFails(*certs[1], RequestFor(TokenMechanism::Ecdsa, EVP_sha256(), "t"));
    EXPECT_EQ(refusal.code, NTE_NOT_SUPPORTED) << refusal.what;
    EXPECT_NE(refusal.what.find("CKM_ECDSA"), std::string::npos) << refusal.what;
    EXPECT_NE(refusal.what.find("does not sign with it"), std::string::npos) << refusal.what;
    EXPECT_TRUE(user.requests.empty());

    // What the token offers still signs.
    const auto signature =
        crypt::SignWithTokenKey(*certs[0], RequestFor(TokenMechanism::RsaPkcs, EVP_sha256(), "t"));
    EXPECT_TRUE(OpenSslVerifies(*certs[0], TokenMechanism::RsaPkcs, EVP_sha256(), signature, "t"));
}

}  // namespace
