// Certificates on SoftHSM2 tokens in the personal store: their positions
// after the file entries, their keys, and signatures made on the token.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <tuple>

#include "platform/crypt/Certificate.h"
#include "platform/crypt/Store.h"
#include "platform/crypt/Tokens.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/seams/TokenPrompt.h"
#include "platform/win/Failure.h"
#include "platform/win/LastError.h"
#include "platform/win/Time.h"
#include "platform/win/WinError.h"
#include "tests/support/SoftTokens.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ostrel::test;
namespace fs = std::filesystem;
namespace crypt = platform::crypt;

struct Listed {
    std::vector<unsigned char> der;
    const crypt::TokenKey* token = nullptr;
};

class TokenStore : public ::testing::Test {
protected:
    void SetUp() override {
        if (!SoftTokens::Available()) {
            GTEST_SKIP() << "SoftHSM2 or its tools are not installed";
        }
        m_tokens.emplace(m_home.Path());
        m_before = LiveCounts::Now();
    }
    void TearDown() override {
        if (m_tokens) {
            EXPECT_EQ(LiveCounts::Now(), m_before);
        }
    }

    // Every certificate of the store "MY", in enumeration order.
    std::vector<Listed> List() {
        std::vector<Listed> out;
        HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
        EXPECT_NE(store, nullptr) << std::hex << GetLastError();
        if (store == nullptr) return out;
        PCCERT_CONTEXT ctx = nullptr;
        while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) {
            Listed row;
            row.der.assign(ctx->pbCertEncoded, ctx->pbCertEncoded + ctx->cbCertEncoded);
            if (auto cert = crypt::CertificateOf(ctx)) row.token = cert->Token();
            out.push_back(std::move(row));
        }
        EXPECT_EQ(GetLastError(), CRYPT_E_NOT_FOUND);
        EXPECT_TRUE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
        return out;
    }

    // Signs `text` as the signing pipeline does, with the certificate at
    // `position`, at a fixed time; empty with `error` set on failure.
    std::vector<unsigned char> Sign(std::size_t position, const std::string& text,
                                    DWORD* error = nullptr) {
        HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
        EXPECT_NE(store, nullptr);
        PCCERT_CONTEXT ctx = nullptr;
        for (std::size_t i = 0; i <= position; ++i) {
            ctx = CertEnumCertificatesInStore(store, ctx);
            if (ctx == nullptr) break;
        }
        std::vector<unsigned char> out;
        if (ctx != nullptr) {
            FILETIME when = platform::win::FileTimeFromUnixSeconds(1700000000);
            BYTE time[32];
            DWORD timeSize = sizeof time;
            EXPECT_TRUE(CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                          szOID_RSA_signingTime, &when, time, &timeSize));
            CRYPT_ATTR_BLOB blob{timeSize, time};
            CRYPT_ATTRIBUTE attribute{const_cast<LPSTR>(szOID_RSA_signingTime), 1, &blob};
            PCCERT_CONTEXT certs[1] = {ctx};
            CRYPT_SIGN_MESSAGE_PARA para{};
            para.cbSize = sizeof para;
            para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
            para.pSigningCert = ctx;
            para.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_MD5);
            para.cMsgCert = 1;
            para.rgpMsgCert = certs;
            para.cAuthAttr = 1;
            para.rgAuthAttr = &attribute;
            const BYTE* pieces[1] = {reinterpret_cast<const BYTE*>(text.data())};
            DWORD lengths[1] = {DWORD(text.size())};
            DWORD size = 0;
            if (CryptSignMessage(&para, TRUE, 1, pieces, lengths, nullptr, &size)) {
                out.resize(size);
                if (CryptSignMessage(&para, TRUE, 1, pieces, lengths, out.data(), &size))
                    out.resize(size);
                else
                    out.clear();
            }
            if (error != nullptr) *error = out.empty() ? GetLastError() : 0;
            CertFreeCertificateContext(ctx);
        } else if (error != nullptr) {
            *error = GetLastError();
        }
        EXPECT_TRUE(CertCloseStore(store, CERT_CLOSE_STORE_CHECK_FLAG));
        return out;
    }

    bool Verifies(const std::vector<unsigned char>& signature, const std::string& text) {
        WriteFile(m_home.Path() / "sig.der", std::string(signature.begin(), signature.end()));
        WriteFile(m_home.Path() / "content.txt", text);
        return RunCommand("openssl cms -verify -binary -noverify -inform DER -in '" +
                          (m_home.Path() / "sig.der").string() + "' -content '" +
                          (m_home.Path() / "content.txt").string() + "' -out /dev/null 2>/dev/null")
                   .status == 0;
    }

    TempHome m_home;
    std::optional<SoftTokens> m_tokens;
    LiveCounts m_before{};
};

TEST_F(TokenStore, TokenCertificatesFollowTheFilesInModuleTokenAndIdOrder) {
    const TestCert file0 = MakeCert({.subject = "/CN=File Zero", .serialHex = "F0"});
    const TestCert file1 = MakeCert({.subject = "/CN=File One", .serialHex = "F1"});
    AddToStore(file0);
    AddToStore(file1, false);
    const std::string serialA = m_tokens->AddToken("Alpha");
    const std::string serialB = m_tokens->AddToken("Beta");
    // Added out of order: the listing orders by CKA_ID, not by addition.
    const TestCert a2 = MakeCert({.subject = "/CN=Alpha Two", .serialHex = "A2"});
    const TestCert a1 = MakeCert({.subject = "/CN=Alpha One", .serialHex = "A1"});
    const TestCert b1 = MakeCert({.subject = "/CN=Beta One", .serialHex = "B1"});
    m_tokens->ImportCert("Alpha", a2, "02");
    m_tokens->ImportKey("Alpha", a2, "02");
    m_tokens->ImportCert("Alpha", a1, "01");
    m_tokens->ImportKey("Alpha", a1, "01");
    m_tokens->ImportCert("Beta", b1, "01");

    const auto rows = List();
    ASSERT_EQ(rows.size(), 5u);
    // The file entries keep their positions.
    EXPECT_EQ(rows[0].der, file0.Der());
    EXPECT_EQ(rows[1].der, file1.Der());
    EXPECT_EQ(rows[0].token, nullptr);
    // Tokens by serial, certificates by id.
    const bool alphaFirst = serialA < serialB;
    const std::size_t alpha = alphaFirst ? 2 : 4, beta = alphaFirst ? 4 : 2;
    const std::size_t alphaOne = alphaFirst ? 2 : 3;
    EXPECT_EQ(rows[alphaOne].der, a1.Der());
    EXPECT_EQ(rows[alphaOne + 1].der, a2.Der());
    EXPECT_EQ(rows[beta].der, b1.Der());
    (void)alpha;

    const crypt::TokenKey* one = rows[alphaOne].token;
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(one->tokenLabel, "Alpha");
    EXPECT_EQ(one->tokenSerial, serialA);
    EXPECT_EQ(one->id, std::vector<BYTE>{0x01});
    EXPECT_TRUE(one->keyVisible);  // its public key is there before any login
    EXPECT_TRUE(one->uri.starts_with("pkcs11:")) << one->uri;
    EXPECT_NE(one->uri.find("serial=" + serialA), std::string::npos) << one->uri;
    EXPECT_NE(one->uri.find("id=%01"), std::string::npos) << one->uri;
    EXPECT_NE(one->uri.find("type=private"), std::string::npos) << one->uri;
    // A certificate without a key on its token says so.
    ASSERT_NE(rows[beta].token, nullptr);
    EXPECT_FALSE(rows[beta].token->keyVisible);

    // An opening after the first (served from what the tokens showed then)
    // lists the same.
    const auto again = List();
    ASSERT_EQ(again.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(again[i].der, rows[i].der);
}

TEST_F(TokenStore, ACertificateAlreadyInAFileOrOnAnotherTokenIsListedOnce) {
    const TestCert shared = MakeCert({.subject = "/CN=Shared", .serialHex = "5A"});
    const TestCert own = MakeCert({.subject = "/CN=Own", .serialHex = "0E"});
    AddToStore(shared);
    m_tokens->AddToken("Alpha");
    m_tokens->AddToken("Beta");
    m_tokens->ImportCert("Alpha", shared, "01");
    m_tokens->ImportCert("Alpha", own, "02");
    m_tokens->ImportCert("Beta", own, "07");
    const auto rows = List();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].der, shared.Der());
    EXPECT_EQ(rows[0].token, nullptr);  // where it comes first: the file
    EXPECT_EQ(rows[1].der, own.Der());
}

TEST_F(TokenStore, SignsTheSameMessageAsAFileKeyWouldAfterTheRightPin) {
    const TestCert cert = MakeCert({.subject = "/CN=Signer", .serialHex = "51"});
    const std::string text = "Pay 100 to Bob.\n";
    // The same certificate and key as a file entry first.
    AddToStore(cert);
    const auto fromFile = Sign(0, text);
    ASSERT_FALSE(fromFile.empty());
    {
        auto store = crypt::DiskStore::Open(m_home.StoreFolder(), false);
        store.RemoveAt(0);
    }
    m_tokens->AddToken("Alpha", "4321");
    m_tokens->ImportKey("Alpha", cert, "0A", "4321");
    m_tokens->ImportCert("Alpha", cert, "0A", "4321");
    // A token made after the modules were loaded shows after a new start.
    crypt::CloseTokenModules();

    ScriptedPins user({"0000", "4321"});
    platform::seams::ScopedTokenPrompt prompt(&user);
    const auto fromToken = Sign(0, text);
    ASSERT_FALSE(fromToken.empty()) << std::hex << GetLastError();
    EXPECT_TRUE(Verifies(fromToken, text));
    // Byte for byte the message the file key made: only where the
    // signature value came from differs.
    EXPECT_EQ(fromToken, fromFile);

    ASSERT_EQ(user.requests.size(), 2u);
    EXPECT_FALSE(user.requests[0].wrongPin);
    EXPECT_TRUE(user.requests[1].wrongPin);
    EXPECT_EQ(user.requests[0].tokenLabel, "Alpha");
    EXPECT_NE(user.requests[0].subject.find("Signer"), std::string::npos);
    EXPECT_EQ(user.requests[0].minLength, 4u);

    // The session keeps its login: the next signature asks nothing.
    EXPECT_FALSE(Sign(0, "again").empty());
    EXPECT_EQ(user.requests.size(), 2u);
}

// Threads walking the store and signing at once, some with a file key and
// some through the one logged-in session of a token, each get the message a
// single thread gets.
TEST_F(TokenStore, ThreadsSigningWithAFileKeyAndATokenKeyAtOnceGetTheSameMessages) {
    AddToStore(MakeCert({.subject = "/CN=File", .serialHex = "61"}));
    const TestCert onToken = MakeCert({.subject = "/CN=Token", .serialHex = "62"});
    m_tokens->AddToken("Alpha", "4321");
    m_tokens->ImportKey("Alpha", onToken, "0B", "4321");
    m_tokens->ImportCert("Alpha", onToken, "0B", "4321");
    crypt::CloseTokenModules();
    ScriptedPins user({"4321"});
    platform::seams::ScopedTokenPrompt prompt(&user);
    const std::vector<unsigned char> expected[2] = {Sign(0, "text"), Sign(1, "text")};
    ASSERT_FALSE(expected[0].empty());
    ASSERT_FALSE(expected[1].empty()) << std::hex << GetLastError();
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int round = 0; round < 4; ++round) {
                const std::size_t position = std::size_t(t + round) % 2;
                if (Sign(position, "text") != expected[position]) ++wrong;
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(user.requests.size(), 1u);
}

TEST_F(TokenStore, CancellingThePinOrHavingNoKeyFailsWithoutASignature) {
    const TestCert withKey = MakeCert({.subject = "/CN=With Key", .serialHex = "01"});
    const TestCert noKey = MakeCert({.subject = "/CN=No Key", .serialHex = "02"});
    m_tokens->AddToken("Alpha");
    m_tokens->ImportKey("Alpha", withKey, "01");
    m_tokens->ImportCert("Alpha", withKey, "01");
    m_tokens->ImportCert("Alpha", noKey, "02");

    DWORD error = 0;
    {
        ScriptedPins user({});  // cancels
        platform::seams::ScopedTokenPrompt prompt(&user);
        EXPECT_TRUE(Sign(0, "text", &error).empty());
        EXPECT_EQ(error, ERROR_CANCELLED);
        EXPECT_EQ(user.requests.size(), 1u);
    }
    {
        // Nobody to ask at all.
        platform::seams::ScopedTokenPrompt prompt(nullptr);
        EXPECT_TRUE(Sign(0, "text", &error).empty());
        EXPECT_EQ(error, ERROR_CANCELLED);
    }
    ScriptedPins user({"1234"});
    platform::seams::ScopedTokenPrompt prompt(&user);
    EXPECT_TRUE(Sign(1, "text", &error).empty());
    EXPECT_EQ(error, NTE_NO_KEY);
    // Logged in now; the certificate with a key signs.
    EXPECT_FALSE(Sign(0, "text").empty());
    EXPECT_EQ(user.requests.size(), 1u);
}

TEST_F(TokenStore, AnEcKeyOnATokenFailsBeforeAnyPinIsAsked) {
    const TestCert ec = MakeCert({.subject = "/CN=Curve", .serialHex = "EC", .ec = true});
    m_tokens->AddToken("Alpha");
    m_tokens->ImportKey("Alpha", ec, "01");
    m_tokens->ImportCert("Alpha", ec, "01");
    ScriptedPins user({"1234"});
    platform::seams::ScopedTokenPrompt prompt(&user);
    DWORD error = 0;
    EXPECT_TRUE(Sign(0, "text", &error).empty());
    EXPECT_EQ(error, NTE_BAD_KEY);  // as for an EC key in a file: MD5 has no algorithm for it
    EXPECT_TRUE(user.requests.empty());
}

TEST_F(TokenStore, NoModuleOrAModuleThatCannotBeLoadedLeavesTheFiles) {
    const TestCert file = MakeCert({.subject = "/CN=File", .serialHex = "F0"});
    AddToStore(file);
    m_tokens->AddToken("Alpha");
    m_tokens->ImportCert("Alpha", MakeCert({.subject = "/CN=T", .serialHex = "77"}), "01");
    ASSERT_EQ(List().size(), 2u);

    ::setenv("OSTREL_PKCS11_MODULES", "none", 1);
    crypt::CloseTokenModules();
    EXPECT_EQ(List().size(), 1u);
    EXPECT_TRUE(crypt::TokenWarnings().empty());

    const std::string missing = (m_home.Path() / "missing.so").string();
    ::setenv("OSTREL_PKCS11_MODULES",
             (missing + ":relative.so:" + SoftTokens::ModulePath()).c_str(), 1);
    crypt::CloseTokenModules();
    EXPECT_EQ(List().size(), 2u);
    const auto warnings = crypt::TokenWarnings();
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_NE(warnings[0].find("relative.so"), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[1].find(missing), std::string::npos) << warnings[1];

    // The same key in the home's settings file, when the environment says
    // nothing; a file others may change is not followed.
    ::unsetenv("OSTREL_PKCS11_MODULES");
    WriteFile(m_home.Path() / "ostrel.conf", "# tokens\nOSTREL_PKCS11_MODULES = none\n");
    fs::permissions(m_home.Path() / "ostrel.conf", fs::perms(0600));
    crypt::CloseTokenModules();
    EXPECT_EQ(List().size(), 1u);
    EXPECT_NE(crypt::TokenModuleSetting().find("ostrel.conf"), std::string::npos);
    fs::permissions(m_home.Path() / "ostrel.conf", fs::perms(0622));
    crypt::CloseTokenModules();
    EXPECT_FALSE(crypt::TokenWarnings().empty());
}

TEST_F(TokenStore, RegisteredModulesIncludeSoftHsmButNoTrustPolicyModule) {
    ::unsetenv("OSTREL_PKCS11_MODULES");
    crypt::CloseTokenModules();
    m_tokens->AddToken("Alpha");
    const TestCert cert = MakeCert({.subject = "/CN=Registered", .serialHex = "3E"});
    m_tokens->ImportCert("Alpha", cert, "01");
    const auto modules = crypt::TokenOverview();
    bool softhsm = false;
    for (const auto& m : modules) {
        EXPECT_EQ(m.name.find("p11-kit-trust"), std::string::npos) << m.name;
        if (m.path.find("softhsm") != std::string::npos) softhsm = true;
    }
    // Debian registers its modules by links into root's folders, which
    // pass the checks every module file passes.
    for (const auto& warning : crypt::TokenWarnings()) {
        EXPECT_EQ(warning.find("opensc"), std::string::npos) << warning;
        EXPECT_EQ(warning.find("softhsm"), std::string::npos) << warning;
    }
    if (!softhsm) {
        GTEST_SKIP() << "SoftHSM2 is not registered with p11-kit here";
    }
    const auto rows = List();
    EXPECT_TRUE(std::any_of(rows.begin(), rows.end(),
                            [&](const Listed& r) { return r.der == cert.Der(); }));
}

// A key that wants its own login (CKA_ALWAYS_AUTHENTICATE) for every
// signature. SoftHSM2 holds to it as a card does: C_Sign without the key's
// login fails with CKR_USER_NOT_LOGGED_IN, and the key's login refuses a
// wrong PIN while the operation waits.
class KeyWithItsOwnLogin : public TokenStore {
protected:
    void SetUp() override {
        TokenStore::SetUp();
        if (!m_tokens) return;
        m_cert = MakeCert({.subject = "/CN=Qualified", .serialHex = "0A"});
        m_tokens->AddToken("Card");
        m_tokens->ImportKeyWithItsOwnLogin("Card", m_cert, "01");
        m_tokens->ImportCert("Card", m_cert, "01");
        crypt::CloseTokenModules();
        m_before = LiveCounts::Now();
    }

    TestCert m_cert;
};

TEST_F(KeyWithItsOwnLogin, TheFirstSignatureAsksOnceForBothLoginsAndEveryLaterOneAsksAgain) {
    ScriptedPins user({"1234", "1234", "1234"});
    platform::seams::ScopedTokenPrompt prompt(&user);
    const auto first = Sign(0, "one");
    ASSERT_FALSE(first.empty()) << std::hex << GetLastError();
    EXPECT_TRUE(Verifies(first, "one"));
    // The PIN just typed for the session's login also opened the key.
    ASSERT_EQ(user.requests.size(), 1u);
    EXPECT_FALSE(user.requests[0].keyOnly);
    EXPECT_NE(user.requests[0].subject.find("Qualified"), std::string::npos);

    // It was not kept: each later signature asks for the key alone.
    for (const char* text : {"two", "three"}) {
        const std::size_t asked = user.requests.size();
        const auto signature = Sign(0, text);
        ASSERT_FALSE(signature.empty()) << text << std::hex << GetLastError();
        EXPECT_TRUE(Verifies(signature, text));
        ASSERT_EQ(user.requests.size(), asked + 1) << text;
        EXPECT_TRUE(user.requests.back().keyOnly);
        EXPECT_FALSE(user.requests.back().wrongPin);
        EXPECT_EQ(user.requests.back().tokenLabel, "Card");
    }
}

TEST_F(KeyWithItsOwnLogin, AWrongPinIsAskedAgainAtTheLoginThatRefusedIt) {
    // Wrong at the session's login: the right one typed next serves both.
    ScriptedPins user({"0000", "1234", "9999", "1234"});
    platform::seams::ScopedTokenPrompt prompt(&user);
    ASSERT_FALSE(Sign(0, "one").empty()) << std::hex << GetLastError();
    ASSERT_EQ(user.requests.size(), 2u);
    EXPECT_FALSE(user.requests[1].keyOnly);
    EXPECT_TRUE(user.requests[1].wrongPin);

    // Wrong at the key's own login: asked again for the key, and signs.
    const auto signature = Sign(0, "two");
    ASSERT_FALSE(signature.empty()) << std::hex << GetLastError();
    EXPECT_TRUE(Verifies(signature, "two"));
    ASSERT_EQ(user.requests.size(), 4u);
    EXPECT_TRUE(user.requests[2].keyOnly);
    EXPECT_FALSE(user.requests[2].wrongPin);
    EXPECT_TRUE(user.requests[3].keyOnly);
    EXPECT_TRUE(user.requests[3].wrongPin);
}

TEST_F(KeyWithItsOwnLogin, CancellingTheKeysLoginSignsNothingAndTheNextSignatureStillWorks) {
    {
        ScriptedPins user({"1234", "1234"});
        platform::seams::ScopedTokenPrompt prompt(&user);
        ASSERT_FALSE(Sign(0, "one").empty()) << std::hex << GetLastError();
    }
    DWORD error = 0;
    {
        ScriptedPins user({});
        platform::seams::ScopedTokenPrompt prompt(&user);
        EXPECT_TRUE(Sign(0, "two", &error).empty());
        EXPECT_EQ(error, ERROR_CANCELLED);
        ASSERT_EQ(user.requests.size(), 1u);
        EXPECT_TRUE(user.requests[0].keyOnly);
    }
    {
        platform::seams::ScopedTokenPrompt nobody(nullptr);
        EXPECT_TRUE(Sign(0, "two", &error).empty());
        EXPECT_EQ(error, ERROR_CANCELLED);
    }
    // The operation the cancelled login left waiting was ended: the session
    // (still logged in) signs again after the key's PIN.
    ScriptedPins user({"1234"});
    platform::seams::ScopedTokenPrompt prompt(&user);
    const auto signature = Sign(0, "three");
    ASSERT_FALSE(signature.empty()) << std::hex << GetLastError();
    EXPECT_TRUE(Verifies(signature, "three"));
    ASSERT_EQ(user.requests.size(), 1u);
    EXPECT_TRUE(user.requests[0].keyOnly);
}

// The same SoftHSM2 token behind the fault-playing module.
class FaultyToken : public TokenStore {
protected:
    void SetUp() override {
        if (!SoftTokens::Available()) {
            GTEST_SKIP() << "SoftHSM2 or its tools are not installed";
        }
        const char* bin = std::getenv("OSTREL_BIN");
        const fs::path module =
            (bin != nullptr ? fs::path(bin) : fs::read_symlink("/proc/self/exe").parent_path()) /
            "libostrel_test_p11_faults.so";
        m_tokens.emplace(m_home.Path(), module.string());
        m_cert = MakeCert({.subject = "/CN=Faulty", .serialHex = "FA"});
        m_tokens->AddToken("Alpha");
        m_tokens->ImportKey("Alpha", m_cert, "01");
        m_tokens->ImportCert("Alpha", m_cert, "01");
        crypt::CloseTokenModules();
        m_before = LiveCounts::Now();
    }
    void TearDown() override {
        ::unsetenv("OSTREL_TEST_P11_FAULT");
        ::unsetenv("OSTREL_TEST_P11_LOG");
        TokenStore::TearDown();
    }
    void Fault(const char* fault) { ::setenv("OSTREL_TEST_P11_FAULT", fault, 1); }

    TestCert m_cert;
};

TEST_F(FaultyToken, ALockedPinFailsClearlyWithoutAQuestion) {
    Fault("locked");
    ScriptedPins user({"1234"});
    platform::seams::ScopedTokenPrompt prompt(&user);
    DWORD error = 0;
    EXPECT_TRUE(Sign(0, "text", &error).empty());
    EXPECT_EQ(error, SCARD_W_CHV_BLOCKED);
    EXPECT_TRUE(user.requests.empty());
    const auto modules = crypt::TokenOverview();
    ASSERT_EQ(modules.size(), 1u);
    bool locked = false;
    for (const auto& t : modules[0].tokens) locked = locked || t.pinLocked;
    EXPECT_TRUE(locked);
}

TEST_F(FaultyToken, APinPadGetsANoticeAndNoPinFromTheProgram) {
    Fault("pinpad:1234");
    ScriptedPins user({});
    platform::seams::ScopedTokenPrompt prompt(&user);
    const auto signature = Sign(0, "text");
    ASSERT_FALSE(signature.empty()) << std::hex << GetLastError();
    EXPECT_TRUE(Verifies(signature, "text"));
    EXPECT_TRUE(user.requests.empty());
    ASSERT_EQ(user.notices.size(), 1u);
    EXPECT_EQ(user.notices[0].tokenLabel, "Alpha");

    // A wrong PIN on the pad is told as such, not asked again here.
    crypt::CloseTokenModules();
    Fault("pinpad:9999");
    DWORD error = 0;
    EXPECT_TRUE(Sign(0, "text", &error).empty());
    EXPECT_EQ(error, SCARD_W_WRONG_CHV);
}

TEST_F(FaultyToken, TheTokensTriesLeftReachTheQuestion) {
    Fault("countlow");
    ScriptedPins user({"0000", "1234"});
    platform::seams::ScopedTokenPrompt prompt(&user);
    ASSERT_FALSE(Sign(0, "text").empty());
    ASSERT_EQ(user.requests.size(), 2u);
    EXPECT_TRUE(user.requests[0].fewTriesLeft);
    EXPECT_FALSE(user.requests[0].lastTry);
    EXPECT_TRUE(user.requests[1].wrongPin);

    crypt::CloseTokenModules();
    Fault("finaltry");
    ScriptedPins last({});
    platform::seams::ScopedTokenPrompt lastPrompt(&last);
    EXPECT_TRUE(Sign(0, "text").empty());
    ASSERT_EQ(last.requests.size(), 1u);
    EXPECT_TRUE(last.requests[0].lastTry);
}

TEST_F(FaultyToken, AWrongPinGivenAgainAndAgainIsTriedThreeTimesWithTheLastOneWarned) {
    const fs::path calls = m_home.Path() / "calls.log";
    ::setenv("OSTREL_TEST_P11_CALLS", calls.c_str(), 1);
    const auto logins = [&] {
        const std::string text = fs::exists(calls) ? ReadFile(calls) : "";
        return std::count(text.begin(), text.end(), '\n');
    };
    ScriptedPins user(std::vector<std::string>(50, "0000"));
    platform::seams::ScopedTokenPrompt prompt(&user);
    DWORD error = 0;
    EXPECT_TRUE(Sign(0, "text", &error).empty());
    EXPECT_EQ(error, SCARD_W_WRONG_CHV);
    EXPECT_EQ(logins(), 3);
    ASSERT_EQ(user.requests.size(), 3u);
    EXPECT_FALSE(user.requests[1].lastTry);
    EXPECT_TRUE(user.requests[2].lastTry);
    EXPECT_TRUE(user.requests[2].wrongPin);

    // The count starts anew with the next signature, and the right PIN
    // within it signs.
    ScriptedPins later({"0000", "1234"});
    platform::seams::ScopedTokenPrompt laterPrompt(&later);
    EXPECT_FALSE(Sign(0, "text").empty()) << std::hex << GetLastError();
    EXPECT_EQ(logins(), 5);

    // A token that says it is at its last try gets that one only.
    crypt::CloseTokenModules();
    Fault("finaltry");
    ScriptedPins last(std::vector<std::string>(5, "0000"));
    platform::seams::ScopedTokenPrompt lastPrompt(&last);
    EXPECT_TRUE(Sign(0, "text", &error).empty());
    EXPECT_EQ(error, SCARD_W_WRONG_CHV);
    EXPECT_EQ(logins(), 6);
    ::unsetenv("OSTREL_TEST_P11_CALLS");
}

TEST_F(FaultyToken, AModuleReportingMoreSlotsThanAnyReaderHasIsReadForNothingAndNamed) {
    Fault("slots:1000000000000");
    EXPECT_TRUE(List().empty());
    DWORD error = 0;
    EXPECT_TRUE(Sign(0, "text", &error).empty());
    EXPECT_EQ(error, CRYPT_E_NOT_FOUND);
    const auto warnings = crypt::TokenWarnings();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("reports 1000000000000 slots"), std::string::npos) << warnings[0];
    const auto modules = crypt::TokenOverview();
    ASSERT_EQ(modules.size(), 1u);
    EXPECT_EQ(modules[0].error, warnings[0]);
    // The module behaving again is read again.
    ::unsetenv("OSTREL_TEST_P11_FAULT");
    EXPECT_EQ(List().size(), 1u);
}

TEST_F(FaultyToken, ATokenPulledOutBetweenListingAndSigningIsLookedForOnceThenReported) {
    ScriptedPins user({"1234", "1234"});
    platform::seams::ScopedTokenPrompt prompt(&user);
    // Listed, and its context taken, while the token is there.
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT ctx = CertEnumCertificatesInStore(store, nullptr);
    ASSERT_NE(ctx, nullptr);
    CertFreeCertificateContext(ctx);
    ASSERT_TRUE(CertCloseStore(store, 0));

    Fault("removed");
    DWORD error = 0;
    EXPECT_TRUE(Sign(0, "text", &error).empty());
    // The position holds nothing now: no other certificate takes it.
    EXPECT_EQ(error, CRYPT_E_NOT_FOUND);
    // A context taken before the token went fails as the token is gone.
    ::unsetenv("OSTREL_TEST_P11_FAULT");
    store = CertOpenSystemStoreA(0, "MY");
    ASSERT_NE(store, nullptr);
    ctx = CertEnumCertificatesInStore(store, nullptr);
    ASSERT_NE(ctx, nullptr);
    Fault("removed");
    {
        auto cert = crypt::CertificateOf(ctx);
        ASSERT_NE(cert, nullptr);
        try {
            crypt::SignWithTokenKey(*cert, std::vector<BYTE>(35, 1));
            ADD_FAILURE() << "signed with a token that is gone";
        } catch (const platform::Failure& e) {
            EXPECT_EQ(e.Code(), SCARD_W_REMOVED_CARD);
            EXPECT_NE(std::string(e.what()).find("\"Alpha\""), std::string::npos) << e.what();
        }
    }
    CertFreeCertificateContext(ctx);
    ASSERT_TRUE(CertCloseStore(store, 0));

    // Pulled out and put back: the session is opened anew once, and signs.
    Fault("removed-once");
    const auto signature = Sign(0, "text");
    ASSERT_FALSE(signature.empty()) << std::hex << GetLastError();
    EXPECT_TRUE(Verifies(signature, "text"));
}

TEST_F(FaultyToken, AFailureNamesTheCallAndTheValueThatCausedIt) {
    ScriptedPins user({});
    platform::seams::ScopedTokenPrompt prompt(&user);
    // Signs with the first certificate, taken while the token behaves, once
    // it plays `fault`; the failure's code and text.
    const auto signWith = [&](const char* fault) {
        ::unsetenv("OSTREL_TEST_P11_FAULT");
        HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
        EXPECT_NE(store, nullptr);
        PCCERT_CONTEXT ctx = CertEnumCertificatesInStore(store, nullptr);
        EXPECT_NE(ctx, nullptr);
        std::pair<DWORD, std::string> failure;
        if (const auto cert = crypt::CertificateOf(ctx)) {
            Fault(fault);
            try {
                crypt::SignWithTokenKey(*cert, std::vector<BYTE>(35, 1));
                ADD_FAILURE() << "signed with " << fault;
            } catch (const platform::Failure& e) {
                failure = {e.Code(), e.what()};
            }
        }
        CertFreeCertificateContext(ctx);
        EXPECT_TRUE(CertCloseStore(store, 0));
        return failure;
    };

    // Pulled out: the call that found it gone, and the look for it after.
    auto [code, what] = signWith("removed");
    EXPECT_EQ(code, SCARD_W_REMOVED_CARD);
    EXPECT_NE(what.find("\"Alpha\""), std::string::npos) << what;
    EXPECT_NE(what.find("C_GetSessionInfo returned CKR_DEVICE_REMOVED (0x00000032)"),
              std::string::npos)
        << what;
    EXPECT_NE(what.find("no slot"), std::string::npos) << what;

    // A wrong PIN on the reader's pad.
    std::tie(code, what) = signWith("pinpad:9999");
    EXPECT_EQ(code, SCARD_W_WRONG_CHV);
    EXPECT_NE(what.find("C_Login returned CKR_PIN_INCORRECT (0x000000A0)"), std::string::npos)
        << what;
}

TEST_F(FaultyToken, ClosingTheModulesFinalisesThemEvenWhereACertificateStillHoldsOne) {
    const fs::path log = m_home.Path() / "calls.log";
    ::setenv("OSTREL_TEST_P11_LOG", log.c_str(), 1);
    ScriptedPins user({"1234", "1234"});
    platform::seams::ScopedTokenPrompt prompt(&user);
    ASSERT_FALSE(Sign(0, "text").empty()) << std::hex << GetLastError();
    HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
    ASSERT_NE(store, nullptr);
    PCCERT_CONTEXT ctx = CertEnumCertificatesInStore(store, nullptr);
    ASSERT_NE(ctx, nullptr);
    {
        const auto held = crypt::CertificateOf(ctx);
        ASSERT_NE(held, nullptr);
        crypt::CloseTokenModules();
        EXPECT_EQ(ReadFile(log), "C_Initialize\nC_Finalize\n");
        // The certificate outlived its module: it fails to sign, and
        // nothing reaches the finalised module.
        try {
            crypt::SignWithTokenKey(*held, std::vector<BYTE>(35, 1));
            ADD_FAILURE() << "signed with a finalised module";
        } catch (const platform::Failure& e) {
            EXPECT_NE(e.Code(), 0u);
        }
    }
    CertFreeCertificateContext(ctx);
    ASSERT_TRUE(CertCloseStore(store, 0));
    EXPECT_EQ(ReadFile(log), "C_Initialize\nC_Finalize\n");

    // The next opening loads the module anew, logs in anew, and signs.
    const auto signature = Sign(0, "again");
    ASSERT_FALSE(signature.empty()) << std::hex << GetLastError();
    EXPECT_TRUE(Verifies(signature, "again"));
    EXPECT_EQ(user.requests.size(), 2u);
    crypt::CloseTokenModules();
    EXPECT_EQ(ReadFile(log), "C_Initialize\nC_Finalize\nC_Initialize\nC_Finalize\n");
}

}  // namespace
