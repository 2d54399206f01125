// CAdES-T through the signer: the time stamp comes from the test authority on
// the loopback, OpenSSL accepts the signature and, taken out of it, the token
// over the signature value; an authority that misbehaves, or none at all,
// gives an exception that names it and says what went wrong, never a
// signature without its time stamp.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/x509.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "platform/seams/Seams.h"
#include "platform/win/Time.h"
#include "platform/win/WinError.h"
#include "tests/signing/SignerCalls.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TestTsa.h"

namespace {

using namespace ostrel::test;
using ::testing::HasSubstr;

// Sets (or, for null, unsets) an environment variable while it lives.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) m_previous = old;
        if (value != nullptr)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (m_previous)
            ::setenv(m_name, m_previous->c_str(), 1);
        else
            ::unsetenv(m_name);
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_previous;
};

// What the signer's unsigned attributes carry, read with OpenSSL: the value
// of each signature-time-stamp-token attribute (a token's DER) and the
// signature value it stamps.
struct Stamps {
    std::vector<std::vector<unsigned char>> tokens;
    std::vector<unsigned char> signatureValue;
};

Stamps StampsOf(const std::vector<unsigned char>& der) {
    Stamps stamps;
    const unsigned char* p = der.data();
    CMS_ContentInfo* cms = d2i_CMS_ContentInfo(nullptr, &p, long(der.size()));
    if (cms == nullptr) {
        ADD_FAILURE() << "not a CMS message";
        return stamps;
    }
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
    EXPECT_EQ(sk_CMS_SignerInfo_num(signers), 1);
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(signers, 0);
    if (si != nullptr) {
        const ASN1_OCTET_STRING* sig = CMS_SignerInfo_get0_signature(si);
        stamps.signatureValue.assign(ASN1_STRING_get0_data(sig),
                                     ASN1_STRING_get0_data(sig) + ASN1_STRING_length(sig));
        for (int at = CMS_unsigned_get_attr_by_NID(si, NID_id_smime_aa_timeStampToken, -1); at >= 0;
             at = CMS_unsigned_get_attr_by_NID(si, NID_id_smime_aa_timeStampToken, at)) {
            X509_ATTRIBUTE* attr = CMS_unsigned_get_attr(si, at);
            EXPECT_EQ(X509_ATTRIBUTE_count(attr), 1);
            const ASN1_TYPE* value = X509_ATTRIBUTE_get0_type(attr, 0);
            if (value == nullptr || value->type != V_ASN1_SEQUENCE) {
                ADD_FAILURE() << "the time-stamp attribute's value is no SEQUENCE";
                continue;
            }
            const ASN1_STRING* seq = value->value.sequence;
            stamps.tokens.emplace_back(ASN1_STRING_get0_data(seq),
                                       ASN1_STRING_get0_data(seq) + ASN1_STRING_length(seq));
        }
    }
    CMS_ContentInfo_free(cms);
    return stamps;
}

class SignerTimestamps : public SignerFixture {
protected:
    void SetUp() override {
        SignerFixture::SetUp();
        m_tsa = &TestTsa::Shared();
    }

    std::string Options(const std::string& tsa, const std::string& more = "") const {
        std::string options = R"({"certificate": 0, "format": "CAdES-T")";
        if (!tsa.empty()) options += R"(, "tsa": ")" + tsa + "\"";
        return options + more + "}";
    }

    // `openssl ts -verify` of a token over `data`, trusting the authority's
    // CA; its exit status.
    int VerifyToken(const std::vector<unsigned char>& token,
                    const std::vector<unsigned char>& data) {
        const auto tokenFile = m_home.Path() / "token.der";
        const auto dataFile = m_home.Path() / "stamped.bin";
        WriteFile(tokenFile, std::string(token.begin(), token.end()));
        WriteFile(dataFile, std::string(data.begin(), data.end()));
        const CommandResult r =
            RunCommand("openssl ts -verify -token_in -in '" + tokenFile.string() + "' -data '" +
                       dataFile.string() + "' -CAfile '" + m_tsa->CaCert().string() + "' 2>&1");
        if (r.status != 0) std::fprintf(stderr, "%s", r.out.c_str());
        return r.status;
    }

    // What `openssl ts -reply -text` says of a token.
    std::string TokenText(const std::vector<unsigned char>& token) {
        const auto tokenFile = m_home.Path() / "token.der";
        WriteFile(tokenFile, std::string(token.begin(), token.end()));
        return RunCommand("openssl ts -reply -token_in -token_out -text -in '" +
                          tokenFile.string() + "'")
            .out;
    }

    const TestTsa* m_tsa = nullptr;
};

TEST_F(SignerTimestamps, TheTokenOverTheSignatureValueIsAcceptedBesideTheSignature) {
    struct Case {
        CertOptions cert;
        const char* more;
        bool detached;
        const char* digest;  // as openssl ts names it
    };
    const std::string text = "Pay 100 to Bob, Grüße";
    for (const Case& c : {
             Case{{}, "", true, "sha256"},
             Case{{},
                  R"(, "padding": "PSS", "digest": "SHA-384", "detached": false)",
                  false,
                  "sha384"},
             Case{{.ec = true, .curve = "P-256"}, R"(, "digest": "SHA-512")", true, "sha512"},
             Case{{.ec = true, .curve = "P-521"}, R"(, "detached": false)", false, "sha256"},
         }) {
        TempHome home;  // a store with this case's certificate only
        const TestCert cert = MakeCert(c.cert);
        AddToStore(cert);
        WriteFile(m_home.Path() / "ca.pem", cert.CertPem());
        const std::string options = Options(m_tsa->Url("good"), c.more);
        SCOPED_TRACE(options);
        const Answer a = Sign(text, options);
        ASSERT_EQ(a.hr, S_OK) << a.description;
        const auto der = DecodeBase64Text(a.text);
        EXPECT_EQ(VerifyDer(der, text, c.detached, true), 0);
        if (c.detached) {
            EXPECT_NE(VerifyDer(der, text + " ", c.detached, true), 0);
        } else {
            EXPECT_NE(VerifyDer(WithChangedContent(der, "Pay 100"), text, c.detached, true), 0);
        }

        const Stamps stamps = StampsOf(der);
        ASSERT_EQ(stamps.tokens.size(), 1u);
        ASSERT_FALSE(stamps.signatureValue.empty());
        EXPECT_EQ(VerifyToken(stamps.tokens[0], stamps.signatureValue), 0);
        // The imprint is made with the digest the message is signed with, and
        // is over this signature value only.
        EXPECT_THAT(TokenText(stamps.tokens[0]),
                    HasSubstr("Hash Algorithm: " + std::string(c.digest)));
        auto other = stamps.signatureValue;
        other[0] ^= 0x01;
        EXPECT_NE(VerifyToken(stamps.tokens[0], other), 0);
    }
}

TEST_F(SignerTimestamps, AMisbehavingAuthorityGivesAClearErrorThatNamesItAndNoSignature) {
    AddToStore(MakeCert());
    struct Case {
        std::string url;
        DWORD code;
        const char* says;
    };
    for (const Case& c : {
             Case{m_tsa->Url("wrong-imprint"), DWORD(CRYPT_E_HASH_VALUE), "wrong message imprint"},
             Case{m_tsa->Url("wrong-nonce"), DWORD(NTE_BAD_DATA), "another nonce"},
             Case{m_tsa->Url("reject"), DWORD(TRUST_E_TIME_STAMP), "refused the request"},
             Case{m_tsa->Url("garbage"), 0, "not a time-stamp response"},
             Case{m_tsa->Url("huge"), ERROR_FILE_TOO_LARGE, "larger than the 1 MiB allowed"},
             Case{m_tsa->Url("huge-stream"), ERROR_FILE_TOO_LARGE, "larger than the 1 MiB"},
             Case{m_tsa->Url("error500"), ERROR_WINHTTP_INVALID_SERVER_RESPONSE,
                  "HTTP error status"},
             Case{m_tsa->Url("silent"), ERROR_WINHTTP_TIMEOUT, "did not answer within 10 s"},
             Case{"http://127.0.0.1:1/", ERROR_WINHTTP_CANNOT_CONNECT, "no connection"},
         }) {
        SCOPED_TRACE(c.url);
        const Answer a = Sign("text", Options(c.url));
        EXPECT_EQ(a.hr, DISP_E_EXCEPTION);
        EXPECT_TRUE(a.text.empty());
        EXPECT_THAT(a.description, HasSubstr("No time stamp from " + c.url + ": "));
        EXPECT_THAT(a.description, HasSubstr(c.says));
        EXPECT_NE(a.scode, HRESULT(E_INVALIDARG));
        EXPECT_NE(a.scode, S_OK);
        if (c.code != 0) {
            const HRESULT expected = (c.code & 0x80000000u) != 0
                                         ? HRESULT(c.code)
                                         : HRESULT(0x80070000u | (c.code & 0xFFFFu));
            EXPECT_EQ(a.scode, expected);
        }
    }
}

TEST_F(SignerTimestamps, TheAuthorityComesFromTheOptionsThenTheEnvironmentThenTheSettingsFile) {
    AddToStore(MakeCert());
    ScopedEnv noEnv("OSTREL_TSA", nullptr);
    const auto conf = m_home.Path() / "ostrel.conf";
    const auto stamped = [](const Answer& a) {
        return a.hr == S_OK && StampsOf(DecodeBase64Text(a.text)).tokens.size() == 1;
    };

    // None anywhere: refused as an option, before anything is signed.
    const Answer none = Sign("text", Options(""));
    EXPECT_EQ(none.hr, DISP_E_EXCEPTION);
    EXPECT_EQ(none.scode, HRESULT(E_INVALIDARG));
    EXPECT_THAT(none.description, HasSubstr("needs a time-stamping authority"));
    EXPECT_TRUE(none.text.empty());

    // The settings file, when it is the user's own.
    WriteFile(conf, "# authority\ntimestamp-url = " + m_tsa->Url("good") + "\n");
    std::filesystem::permissions(conf, std::filesystem::perms(0600));
    EXPECT_TRUE(stamped(Sign("text", Options(""))));
    // ... and not when others may change it, which the refusal says.
    std::filesystem::permissions(conf, std::filesystem::perms(0666));
    const Answer ignored = Sign("text", Options(""));
    EXPECT_EQ(ignored.scode, HRESULT(E_INVALIDARG));
    EXPECT_THAT(ignored.description, HasSubstr("was ignored"));
    EXPECT_TRUE(ignored.text.empty());
    std::filesystem::permissions(conf, std::filesystem::perms(0600));
    WriteFile(conf, "timestamp-url = " + m_tsa->Url("error500") + "\n");
    std::filesystem::permissions(conf, std::filesystem::perms(0600));

    // The environment over the file, the options over both.
    {
        ScopedEnv env("OSTREL_TSA", m_tsa->Url("good").c_str());
        EXPECT_TRUE(stamped(Sign("text", Options(""))));
    }
    {
        ScopedEnv env("OSTREL_TSA", m_tsa->Url("reject").c_str());
        EXPECT_TRUE(stamped(Sign("text", Options(m_tsa->Url("good")))));
        const Answer fromEnv = Sign("text", Options(""));
        EXPECT_THAT(fromEnv.description, HasSubstr(m_tsa->Url("reject")));
    }
    {
        ScopedEnv env("OSTREL_TSA", "ftp://tsa.example/");
        const Answer notHttp = Sign("text", Options(""));
        EXPECT_EQ(notHttp.scode, HRESULT(E_INVALIDARG));
        EXPECT_THAT(notHttp.description,
                    HasSubstr("\"ftp://tsa.example/\" from OSTREL_TSA is not an http or https"));
    }
    const Answer fromFile = Sign("text", Options(""));
    EXPECT_THAT(fromFile.description, HasSubstr(m_tsa->Url("error500")));
    EXPECT_TRUE(fromFile.text.empty());
}

TEST_F(SignerTimestamps, AStampTimeFarFromTheClockIsRefusedWithTheDifference) {
    AddToStore(MakeCert());
    // This thread's clock five minutes ahead: the authority's time is behind.
    const std::uint64_t ahead =
        platform::win::FileTimeValue(platform::win::CurrentFileTime()) + 300ull * 10000000ull;
    platform::seams::ScopedClock clock(ahead);
    const Answer a = Sign("text", Options(m_tsa->Url("good")));
    EXPECT_EQ(a.hr, DISP_E_EXCEPTION);
    EXPECT_TRUE(a.text.empty());
    EXPECT_EQ(a.scode, HRESULT(TRUST_E_TIME_STAMP));
    EXPECT_THAT(a.description, HasSubstr(m_tsa->Url("good")));
    EXPECT_TRUE(std::regex_search(a.description, std::regex("(29[0-9]|30[0-9]) s behind")))
        << a.description;
}

}  // namespace
