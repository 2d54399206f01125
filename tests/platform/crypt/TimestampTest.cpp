// Time stamps against the test authority (tests/support/tsa): a good token
// is handed out and accepted by `openssl ts -verify`; every faulty answer
// gives its own error and hands nothing out.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/crypt/Config.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/win/LastError.h"
#include "platform/win/Time.h"
#include "platform/win/WinError.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TestTsa.h"

namespace {

using ostrel::test::LiveCounts;
using ostrel::test::TempHome;
using ostrel::test::TestTsa;

const std::string kData = "the text whose signature value is stamped";

std::vector<BYTE> Sha256(const std::string& data) {
    std::vector<BYTE> out(32);
    EVP_Digest(data.data(), data.size(), out.data(), nullptr, EVP_sha256(), nullptr);
    return out;
}

std::string Quote(const std::filesystem::path& p) {
    return "'" + p.string() + "'";
}

// What a call handed out; freed as it goes.
struct Retrieved {
    BOOL ok = FALSE;
    DWORD error = 0;
    PCRYPT_TIMESTAMP_CONTEXT context = nullptr;
    PCCERT_CONTEXT signer = nullptr;
    HCERTSTORE store = nullptr;
    ~Retrieved() {
        CryptMemFree(context);
        CertFreeCertificateContext(signer);
        CertCloseStore(store, 0);
    }
    std::vector<BYTE> Token() const {
        return {context->pbEncoded, context->pbEncoded + context->cbEncoded};
    }
};

// Sets the outputs to something else first: a failure must clear them.
void Retrieve(Retrieved& r, const std::wstring& url, const CRYPT_TIMESTAMP_PARA* para,
              DWORD timeoutMs = 0, const std::string& data = kData, DWORD flags = 0,
              LPCSTR hash = szOID_NIST_sha256) {
    r.context = reinterpret_cast<PCRYPT_TIMESTAMP_CONTEXT>(0x1);
    r.signer = reinterpret_cast<PCCERT_CONTEXT>(0x1);
    r.store = reinterpret_cast<HCERTSTORE>(0x1);
    r.ok = CryptRetrieveTimeStamp(url.c_str(), flags, timeoutMs, hash, para,
                                  reinterpret_cast<const BYTE*>(data.data()), DWORD(data.size()),
                                  &r.context, &r.signer, &r.store);
    r.error = r.ok ? 0 : GetLastError();
}

struct Nonce {
    BYTE bytes[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x08};
    CRYPT_TIMESTAMP_PARA para{nullptr, TRUE, {sizeof bytes, bytes}, 0, nullptr};
};

TEST(Timestamp, AGoodTokenIsHandedOutCheckedAndAcceptedByOpenssl) {
    const auto& tsa = TestTsa::Shared();
    const auto before = LiveCounts::Now();
    {
        Nonce nonce;
        Retrieved r;
        Retrieve(r, tsa.WideUrl("good"), &nonce.para);
        ASSERT_TRUE(r.ok) << std::hex << r.error;
        ASSERT_NE(r.context, nullptr);
        const CRYPT_TIMESTAMP_INFO& info = *r.context->pTimeStamp;
        EXPECT_STREQ(info.HashAlgorithm.pszObjId, szOID_NIST_sha256);
        EXPECT_EQ(std::vector<BYTE>(info.HashedMessage.pbData,
                                    info.HashedMessage.pbData + info.HashedMessage.cbData),
                  Sha256(kData));
        EXPECT_EQ(std::vector<BYTE>(info.Nonce.pbData, info.Nonce.pbData + info.Nonce.cbData),
                  std::vector<BYTE>(nonce.bytes, nonce.bytes + sizeof nonce.bytes));
        EXPECT_STREQ(info.pszTSAPolicyId, TestTsa::kPolicy);
        ASSERT_NE(info.pvAccuracy, nullptr);
        EXPECT_EQ(info.pvAccuracy->dwSeconds, 1u);
        EXPECT_GT(info.SerialNumber.cbData, 0u);
        EXPECT_GT(info.Tsa.cbData, 0u);
        const auto now = platform::win::UnixSecondsFromFileTime(platform::win::CurrentFileTime());
        EXPECT_LE(std::llabs(platform::win::UnixSecondsFromFileTime(info.ftTime) - now), 60);

        // The signer is the authority's certificate, and the store holds
        // what the token carries (the certificate and its CA).
        ASSERT_NE(r.signer, nullptr);
        ostrel::test::RunCommand("openssl x509 -in " + Quote(tsa.TsaCert()) +
                                 " -outform DER -out " +
                                 Quote(tsa.TsaCert().parent_path() / "tsa.der"));
        const std::string tsaDer = ostrel::test::ReadFile(tsa.TsaCert().parent_path() / "tsa.der");
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.signer->pbCertEncoded),
                              r.signer->cbCertEncoded),
                  tsaDer);
        ASSERT_NE(r.store, nullptr);
        int inStore = 0;
        for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(r.store, nullptr); c != nullptr;
             c = CertEnumCertificatesInStore(r.store, c))
            ++inStore;
        EXPECT_EQ(inStore, 2);

        TempHome dir;
        const std::vector<BYTE> tokenDer = r.Token();
        ostrel::test::WriteFile(dir.Path() / "token.der",
                                std::string(tokenDer.begin(), tokenDer.end()));
        ostrel::test::WriteFile(dir.Path() / "data", kData);
        const auto verify = ostrel::test::RunCommand(
            "openssl ts -verify -token_in -in " + Quote(dir.Path() / "token.der") + " -data " +
            Quote(dir.Path() / "data") + " -CAfile " + Quote(tsa.CaCert()) + " 2>&1");
        EXPECT_EQ(verify.status, 0) << verify.out;
        EXPECT_NE(verify.out.find("Verification: OK"), std::string::npos) << verify.out;

        // The token checks out against its data, and not against other data.
        const auto token = r.Token();
        EXPECT_TRUE(CryptVerifyTimeStampSignature(
            token.data(), DWORD(token.size()), reinterpret_cast<const BYTE*>(kData.data()),
            DWORD(kData.size()), nullptr, nullptr, nullptr, nullptr))
            << std::hex << GetLastError();
        Retrieved other;
        const std::string changed = kData + ".";
        EXPECT_FALSE(CryptVerifyTimeStampSignature(
            token.data(), DWORD(token.size()), reinterpret_cast<const BYTE*>(changed.data()),
            DWORD(changed.size()), nullptr, &other.context, &other.signer, &other.store));
        EXPECT_EQ(GetLastError(), CRYPT_E_HASH_VALUE);
        EXPECT_EQ(other.context, nullptr);
        EXPECT_EQ(other.signer, nullptr);
        EXPECT_EQ(other.store, nullptr);
    }
    EXPECT_EQ(LiveCounts::Now(), before);
}

TEST(Timestamp, TheRequestIsATimeStampQueryWithTheNonceAndACertificateRequest) {
    const auto& tsa = TestTsa::Shared();
    Nonce nonce;
    Retrieved r;
    Retrieve(r, tsa.WideUrl("good"), &nonce.para);
    ASSERT_TRUE(r.ok) << std::hex << r.error;
    const auto query = tsa.LastQuery();
    EXPECT_EQ(query.contentType, "application/timestamp-query");
    TempHome dir;
    ostrel::test::WriteFile(dir.Path() / "q.tsq",
                            std::string(query.body.begin(), query.body.end()));
    const auto text = ostrel::test::RunCommand("openssl ts -query -in " +
                                               Quote(dir.Path() / "q.tsq") + " -text 2>/dev/null");
    EXPECT_NE(text.out.find("Nonce: 0x0877665544332211"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Certificate required: yes"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Hash Algorithm: sha256"), std::string::npos) << text.out;
}

struct Faulty {
    const char* mode;
    DWORD error;
};

class TimestampFault : public ::testing::TestWithParam<Faulty> {};

TEST_P(TimestampFault, GivesItsErrorAndHandsNothingOut) {
    const auto& tsa = TestTsa::Shared();
    const auto before = LiveCounts::Now();
    const auto started = std::chrono::steady_clock::now();
    {
        Nonce nonce;
        Retrieved r;
        Retrieve(r, tsa.WideUrl(GetParam().mode), &nonce.para, 1500);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, GetParam().error) << std::hex << r.error;
        EXPECT_EQ(r.context, nullptr);
        EXPECT_EQ(r.signer, nullptr);
        EXPECT_EQ(r.store, nullptr);
    }
    // Nothing waits past the timeout, nor for a reply over the limit.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_EQ(LiveCounts::Now(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Authority, TimestampFault,
    ::testing::Values(Faulty{"wrong-imprint", CRYPT_E_HASH_VALUE},
                      Faulty{"wrong-nonce", NTE_BAD_DATA}, Faulty{"reject", TRUST_E_TIME_STAMP},
                      Faulty{"garbage", CRYPT_E_ASN1_CORRUPT}, Faulty{"huge", ERROR_FILE_TOO_LARGE},
                      Faulty{"huge-stream", ERROR_FILE_TOO_LARGE},
                      Faulty{"silent", ERROR_WINHTTP_TIMEOUT},
                      Faulty{"error500", ERROR_WINHTTP_INVALID_SERVER_RESPONSE}),
    [](const auto& info) {
        std::string name = info.param.mode;
        for (char& c : name)
            if (c == '-') c = '_';
        return name;
    });

// A port on which nothing listens.
int ClosedPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(s);
    return ntohs(addr.sin_port);
}

TEST(Timestamp, RequestsThatCannotBeSentAreRefusedBeforeAnyExchange) {
    const auto& tsa = TestTsa::Shared();
    const auto before = LiveCounts::Now();
    const struct {
        std::wstring url;
        DWORD flags;
        LPCSTR hash;
        std::string data;
        DWORD error;
    } cases[] = {
        {L"ftp://127.0.0.1/good", 0, szOID_NIST_sha256, kData, ERROR_WINHTTP_UNRECOGNIZED_SCHEME},
        {L"file:///etc/passwd", 0, szOID_NIST_sha256, kData, ERROR_WINHTTP_UNRECOGNIZED_SCHEME},
        {L"not a url", 0, szOID_NIST_sha256, kData, ERROR_WINHTTP_INVALID_URL},
        {L"http://127.0.0.1:" + std::to_wstring(ClosedPort()) + L"/", 0, szOID_NIST_sha256, kData,
         ERROR_WINHTTP_CANNOT_CONNECT},
        {tsa.WideUrl("good"), 0, szOID_RSA_MD5, kData, CRYPT_E_UNKNOWN_ALGO},
        {tsa.WideUrl("good"), TIMESTAMP_DONT_HASH_DATA, szOID_NIST_sha256, "short", NTE_BAD_HASH},
        {tsa.WideUrl("good"), 0x8000, szOID_NIST_sha256, kData, NTE_BAD_FLAGS},
    };
    for (const auto& c : cases) {
        Retrieved r;
        Retrieve(r, c.url, nullptr, 2000, c.data, c.flags, c.hash);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, c.error) << std::hex << r.error;
        EXPECT_EQ(r.context, nullptr);
    }
    // A hash given in place of the data is stamped as it is.
    {
        Retrieved r;
        const auto digest = Sha256(kData);
        Retrieve(r, tsa.WideUrl("good"), nullptr, 0, std::string(digest.begin(), digest.end()),
                 TIMESTAMP_DONT_HASH_DATA | TIMESTAMP_VERIFY_CONTEXT_SIGNATURE);
        ASSERT_TRUE(r.ok) << std::hex << r.error;
        const auto& hashed = r.context->pTimeStamp->HashedMessage;
        EXPECT_EQ(std::vector<BYTE>(hashed.pbData, hashed.pbData + hashed.cbData), digest);
        EXPECT_GT(r.context->pTimeStamp->Nonce.cbData, 0u) << "a nonce of the call's own";
    }
    EXPECT_EQ(LiveCounts::Now(), before);
}

TEST(Timestamp, TheProxyOfTheEnvironmentIsUsed) {
    const auto& tsa = TestTsa::Shared();
    // The authority doubles as the proxy: it answers a request for any
    // host by the path, so a name that resolves nowhere is stamped only
    // through the proxy.
    std::string proxy = tsa.BaseUrl();
    proxy.pop_back();
    const std::string noProxy = std::getenv("no_proxy") != nullptr ? std::getenv("no_proxy") : "";
    ::setenv("http_proxy", proxy.c_str(), 1);
    ::setenv("no_proxy", "", 1);
    ::setenv("NO_PROXY", "", 1);
    Retrieved r;
    Retrieve(r, L"http://tsa.invalid/good", nullptr, 5000);
    ::unsetenv("http_proxy");
    ::setenv("no_proxy", noProxy.c_str(), 1);
    ::setenv("NO_PROXY", noProxy.c_str(), 1);
    EXPECT_TRUE(r.ok) << std::hex << r.error;
}

TEST(Timestamp, VerificationFindsTheSignerElsewhereAndRefusesDamage) {
    const auto& tsa = TestTsa::Shared();
    TempHome home;
    // A token without certificates: its signer is not at hand until a store
    // that holds it is given.
    CRYPT_TIMESTAMP_PARA para{nullptr, FALSE, {0, nullptr}, 0, nullptr};
    Retrieved bare;
    Retrieve(bare, tsa.WideUrl("good"), &para);
    ASSERT_FALSE(bare.ok);
    EXPECT_EQ(bare.error, TRUST_E_TIME_STAMP);

    Retrieved r;
    Retrieve(r, tsa.WideUrl("good"), nullptr);
    ASSERT_TRUE(r.ok) << std::hex << r.error;
    auto token = r.Token();
    const auto data = reinterpret_cast<const BYTE*>(kData.data());
    const auto before = LiveCounts::Now();
    {
        // The signature made over something else.
        auto damaged = token;
        damaged[damaged.size() - 2] ^= 0x01;
        Retrieved out;
        EXPECT_FALSE(CryptVerifyTimeStampSignature(damaged.data(), DWORD(damaged.size()), data,
                                                   DWORD(kData.size()), nullptr, &out.context,
                                                   &out.signer, &out.store));
        EXPECT_EQ(GetLastError(), NTE_BAD_SIGNATURE);
        EXPECT_EQ(out.context, nullptr);
        const std::string garbage = "not a token at all";
        EXPECT_FALSE(CryptVerifyTimeStampSignature(reinterpret_cast<const BYTE*>(garbage.data()),
                                                   DWORD(garbage.size()), data, DWORD(kData.size()),
                                                   nullptr, &out.context, nullptr, nullptr));
        EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_CORRUPT);
        auto cut = token;
        cut.resize(cut.size() / 2);
        EXPECT_FALSE(CryptVerifyTimeStampSignature(cut.data(), DWORD(cut.size()), data,
                                                   DWORD(kData.size()), nullptr, nullptr, nullptr,
                                                   nullptr));
        EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_CORRUPT);
    }
    EXPECT_EQ(LiveCounts::Now(), before);

    // The authority's certificate in a store handed to the verification.
    ostrel::test::TestCert cert;
    {
        const std::string pem = ostrel::test::ReadFile(tsa.TsaCert());
        platform::crypt::ossl::BioPtr bio(BIO_new_mem_buf(pem.data(), int(pem.size())));
        cert.cert.reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
    }
    ostrel::test::AddToStore(cert, false);
    HCERTSTORE my = CertOpenSystemStoreA(0, "MY");
    ASSERT_NE(my, nullptr);
    Retrieved out;
    // The good token itself, with the store given beside it.
    EXPECT_TRUE(CryptVerifyTimeStampSignature(token.data(), DWORD(token.size()), data,
                                              DWORD(kData.size()), my, &out.context, &out.signer,
                                              nullptr))
        << std::hex << GetLastError();
    ASSERT_NE(out.signer, nullptr);
    EXPECT_EQ(out.signer->cbCertEncoded, cert.Der().size());
    CertCloseStore(my, 0);
}

TEST(CryptGenRandom, FillsTheBufferWithFreshBytes) {
    BYTE a[64] = {}, b[64] = {};
    ASSERT_TRUE(CryptGenRandom(0, sizeof a, a));
    ASSERT_TRUE(CryptGenRandom(0, sizeof b, b));
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
    EXPECT_TRUE(CryptGenRandom(0, 0, nullptr));
    EXPECT_FALSE(CryptGenRandom(0, 8, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(ConfigValue, ReadsTheUsersOwnSettingsFileOnly) {
    TempHome home;
    const auto file = home.Path() / "ostrel.conf";
    EXPECT_EQ(platform::crypt::ConfigValue("timestamp-url"), std::nullopt);
    ostrel::test::WriteFile(file,
                            "# settings\n"
                            "OSTREL_PKCS11_MODULES = none\n"
                            "timestamp-url = http://old.example/\n"
                            "  timestamp-url=  http://tsa.example/stamp  \n"
                            "not a setting\n");
    ::chmod(file.c_str(), 0600);
    EXPECT_EQ(platform::crypt::ConfigValue("timestamp-url"), "http://tsa.example/stamp");
    EXPECT_EQ(platform::crypt::ConfigValue("OSTREL_PKCS11_MODULES"), "none");
    EXPECT_EQ(platform::crypt::ConfigValue("timestamp"), std::nullopt);
    // A file others may change is not read, and says why.
    ::chmod(file.c_str(), 0666);
    EXPECT_EQ(platform::crypt::ConfigValue("timestamp-url"), std::nullopt);
    const auto lookup = platform::crypt::LookUpConfig("timestamp-url");
    ASSERT_TRUE(lookup.warning.has_value());
    EXPECT_NE(lookup.warning->find("ostrel.conf"), std::string::npos);
}

}  // namespace
