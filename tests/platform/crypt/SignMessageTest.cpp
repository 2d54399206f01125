#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/pkcs7.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/crypt/FastPaths.h"
#include "platform/crypt/SignMessage.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/win/LastError.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ostrel::test;
using platform::crypt::SignedMessageBuilds;

// Builds a size query and the call after it make: with the fast paths off
// (OSTREL_FAST_PATHS=0, the suite's second run), every call builds its
// message whole, and the bytes must be the same.
std::uint64_t Builds(std::uint64_t fast) {
    return platform::crypt::FastPaths() ? fast : 2;
}
namespace ossl = platform::crypt::ossl;

// A signing time, a contentType already given, and a value without meaning
// under an attribute OpenSSL does not know, as callers may pass them.
const std::vector<BYTE> kTime = {0x17, 0x0D, '2', '6', '1', '2', '0', '7',
                                 '1',  '0',  '2', '0', '3', '0', 'Z'};
const std::vector<BYTE> kData = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x01};
const std::vector<BYTE> kNote = {0x0C, 0x05, 'n', 'o', 't', 'e', '!'};

struct Call {
    bool detached = true;
    int authAttrs = 1;  // 0: none; 1: the signing time; 2: also the content type
    bool unauth = false;
    int included = 1;  // certificates carried besides the signature
    std::string text = "Pay 100 to Bob";
    std::vector<BYTE> time = kTime;  // the signing time's value
    std::vector<BYTE> secondTime{};  // a second value of it, when not empty
};

// A signing time as a UTCTime value: `digits` are YYMMDDHHMMSS.
std::vector<BYTE> UtcTime(const std::string& digits) {
    const std::string value = std::string{char(0x17), char(digits.size() + 1)} + digits + "Z";
    return std::vector<BYTE>(value.begin(), value.end());
}

class PreparedMessages : public ::testing::Test {
protected:
    void SetUp() override {
        m_before = LiveCounts::Now();
        m_a = MakeCert({.subject = "/CN=Signer A", .serialHex = "0A"});
        m_b = MakeCert({.subject = "/CN=Signer B", .serialHex = "0B", .bits = 1024});
        AddToStore(m_a);
        AddToStore(m_b);
        m_store = CertOpenSystemStoreA(0, "MY");
        ASSERT_NE(m_store, nullptr);
        m_ctxA = CertEnumCertificatesInStore(m_store, nullptr);
        ASSERT_NE(m_ctxA, nullptr);
        m_ctxB = CertEnumCertificatesInStore(m_store, CertDuplicateCertificateContext(m_ctxA));
        ASSERT_NE(m_ctxB, nullptr);
    }
    void TearDown() override {
        CertFreeCertificateContext(m_ctxA);
        CertFreeCertificateContext(m_ctxB);
        EXPECT_TRUE(CertCloseStore(m_store, CERT_CLOSE_STORE_CHECK_FLAG));
        EXPECT_EQ(LiveCounts::Now(), m_before);
    }

    // Calls CryptSignMessage once: a size query when `query` is set, else
    // with a buffer large enough. Returns the bytes (or the size as that
    // many zeros) and sets `ok`.
    std::vector<BYTE> Run(PCCERT_CONTEXT signer, const Call& call, bool query, bool* ok = nullptr) {
        CRYPT_ATTR_BLOB time[2] = {
            {DWORD(call.time.size()), const_cast<BYTE*>(call.time.data())},
            {DWORD(call.secondTime.size()), const_cast<BYTE*>(call.secondTime.data())}};
        CRYPT_ATTR_BLOB data{DWORD(kData.size()), const_cast<BYTE*>(kData.data())};
        CRYPT_ATTR_BLOB note{DWORD(kNote.size()), const_cast<BYTE*>(kNote.data())};
        CRYPT_ATTRIBUTE auth[2] = {
            {const_cast<LPSTR>(szOID_RSA_signingTime), call.secondTime.empty() ? 1u : 2u, time},
            {const_cast<LPSTR>(szOID_RSA_contentType), 1, &data}};
        CRYPT_ATTRIBUTE unauth[1] = {{const_cast<LPSTR>("1.3.6.1.4.1.99999.1"), 1, &note}};
        PCCERT_CONTEXT certs[2] = {m_ctxA, m_ctxB};
        CRYPT_SIGN_MESSAGE_PARA para{};
        para.cbSize = sizeof para;
        para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
        para.pSigningCert = signer;
        para.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_MD5);
        para.cMsgCert = DWORD(call.included);
        para.rgpMsgCert = certs;
        para.cAuthAttr = DWORD(call.authAttrs);
        para.rgAuthAttr = auth;
        para.cUnauthAttr = call.unauth ? 1 : 0;
        para.rgUnauthAttr = unauth;
        const BYTE* pieces[1] = {reinterpret_cast<const BYTE*>(call.text.data())};
        DWORD lengths[1] = {DWORD(call.text.size())};
        std::vector<BYTE> out(query ? 0 : 8192);
        DWORD size = DWORD(out.size());
        const BOOL done = CryptSignMessage(&para, call.detached ? TRUE : FALSE, 1, pieces, lengths,
                                           query ? nullptr : out.data(), &size);
        if (ok != nullptr)
            *ok = done != FALSE;
        else
            EXPECT_TRUE(done) << std::hex << GetLastError();
        out.resize(size);
        return out;
    }

    // The message made by a call no size query went before.
    std::vector<BYTE> Whole(PCCERT_CONTEXT signer, const Call& call) {
        Run(m_ctxB, Call{.text = "something else entirely"}, true);  // prepares another message
        return Run(signer, call, false);
    }

    // OpenSSL's verification, given both certificates whether the message
    // carries them or not.
    bool OpenSslVerifies(const std::vector<BYTE>& der, const Call& call) {
        const unsigned char* p = der.data();
        ossl::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, long(der.size())));
        if (!p7) return false;
        STACK_OF(X509)* certs = sk_X509_new_null();
        sk_X509_push(certs, m_a.cert.get());
        sk_X509_push(certs, m_b.cert.get());
        ossl::BioPtr content(BIO_new_mem_buf(call.text.data(), int(call.text.size())));
        const int ok =
            PKCS7_verify(p7.get(), certs, nullptr, call.detached ? content.get() : nullptr, nullptr,
                         PKCS7_NOVERIFY | PKCS7_BINARY);
        sk_X509_free(certs);
        ossl::DropErrors();
        return ok == 1;
    }

    TestCert m_a, m_b;
    HCERTSTORE m_store = nullptr;
    PCCERT_CONTEXT m_ctxA = nullptr;
    PCCERT_CONTEXT m_ctxB = nullptr;
    TempHome m_home;
    LiveCounts m_before{};
};

TEST_F(PreparedMessages, ASizeQueryAndTheSignatureAfterItBuildOnceAndGiveTheBytesOfAWholeBuild) {
    for (const bool detached : {true, false})
        for (const int authAttrs : {0, 1, 2})
            for (const bool unauth : {false, true})
                for (const int included : {0, 1, 2}) {
                    const Call call{detached, authAttrs, unauth, included};
                    SCOPED_TRACE(testing::Message() << "detached " << detached << ", attributes "
                                                    << authAttrs << ", unauthenticated " << unauth
                                                    << ", certificates " << included);
                    const auto whole = Whole(m_ctxA, call);
                    const auto builds = SignedMessageBuilds();
                    const auto size = Run(m_ctxA, call, true).size();
                    const auto made = Run(m_ctxA, call, false);
                    EXPECT_EQ(SignedMessageBuilds() - builds, Builds(1));
                    EXPECT_EQ(made.size(), size);
                    EXPECT_EQ(made, whole);
                    EXPECT_TRUE(OpenSslVerifies(made, call));
                }
}

TEST_F(PreparedMessages, AMessagePreparedForOtherInputsIsNeverCompleted) {
    const Call call;
    const auto builds = SignedMessageBuilds();

    // Another signer: the message is B's, as a whole build makes it.
    Run(m_ctxA, call, true);
    const auto byB = Run(m_ctxB, call, false);
    EXPECT_EQ(byB, Whole(m_ctxB, call));
    EXPECT_TRUE(OpenSslVerifies(byB, call));

    // Another text carried in the message, other attributes, other
    // certificates carried: each built whole.
    Call attached{.detached = false};
    Run(m_ctxA, attached, true);
    Call changed = attached;
    changed.text = "Pay 900 to Bob";
    const auto other = Run(m_ctxA, changed, false);
    EXPECT_EQ(other, Whole(m_ctxA, changed));
    EXPECT_TRUE(OpenSslVerifies(other, changed));

    Run(m_ctxA, call, true);
    Call more = call;
    more.authAttrs = 2;
    EXPECT_EQ(Run(m_ctxA, more, false), Whole(m_ctxA, more));

    Run(m_ctxA, call, true);
    Call fewer = call;
    fewer.included = 0;
    EXPECT_EQ(Run(m_ctxA, fewer, false), Whole(m_ctxA, fewer));

    // A detached message's text is not in it: the same prepared message
    // serves another text, whose digest and signature it then carries.
    Run(m_ctxA, call, true);
    Call text = call;
    text.text = "Pay 1 to Bob";
    const auto detached = Run(m_ctxA, text, false);
    EXPECT_EQ(detached, Whole(m_ctxA, text));
    EXPECT_TRUE(OpenSslVerifies(detached, text));

    // A prepared message serves one call only.
    Run(m_ctxA, call, true);
    const auto first = Run(m_ctxA, call, false);
    const auto again = SignedMessageBuilds();
    EXPECT_EQ(Run(m_ctxA, call, false), first);
    EXPECT_EQ(SignedMessageBuilds() - again, 1u);
    EXPECT_GT(SignedMessageBuilds() - builds, 10u);
}

// Signature after signature through one certificate: each size query takes
// the last one's message with the new signing time written over the old, and
// the bytes are those of a whole build.
TEST_F(PreparedMessages, ACallOfTheLastOnesFormTakesItsMessageAndGivesTheBytesOfAWholeBuild) {
    for (const bool detached : {true, false})
        for (const int authAttrs : {1, 2}) {
            SCOPED_TRACE(testing::Message()
                         << "detached " << detached << ", attributes " << authAttrs);
            Call call{.detached = detached, .authAttrs = authAttrs};
            Run(m_ctxA, call, true);
            Run(m_ctxA, call, false);
            int i = 0;
            for (const char* when : {"261207102031", "261207102032", "491231235959"}) {
                Call next = call;
                next.time = UtcTime(when);
                if (detached) next.text = "Pay " + std::to_string(++i) + " to Bob";
                const auto builds = SignedMessageBuilds();
                const auto size = Run(m_ctxA, next, true).size();
                const auto made = Run(m_ctxA, next, false);
                EXPECT_EQ(SignedMessageBuilds() - builds, Builds(0)) << when;
                EXPECT_EQ(made.size(), size);
                EXPECT_EQ(made, Whole(m_ctxA, next)) << when;
                EXPECT_TRUE(OpenSslVerifies(made, next));
                Run(m_ctxA, next, true);  // Whole prepared another signer's message
                Run(m_ctxA, next, false);
            }
        }
}

// What the last message's form cannot carry as the call gives it is built
// whole, or refused as a whole build refuses it.
TEST_F(PreparedMessages, AValueOfAnotherLengthOrNotInItsOwnEncodingIsBuiltWhole) {
    const auto check = [this](const Call& first, const Call& next, bool ok) {
        Run(m_ctxA, first, true);
        Run(m_ctxA, first, false);
        const auto builds = SignedMessageBuilds();
        bool done = false;
        Run(m_ctxA, next, true, &done);
        EXPECT_EQ(done, ok);
        if (!ok) {
            EXPECT_EQ(GetLastError(), DWORD(CRYPT_E_BAD_ENCODE));
            return;
        }
        const auto made = Run(m_ctxA, next, false);
        EXPECT_EQ(SignedMessageBuilds() - builds, Builds(1));
        EXPECT_EQ(made, Whole(m_ctxA, next));
        EXPECT_TRUE(OpenSslVerifies(made, next));
    };
    // A generalized time after a UTC time: longer.
    Call generalized;
    generalized.time = {0x18, 0x0F, '2', '0', '5', '0', '0', '1', '0',
                        '1',  '0',  '0', '0', '0', '0', '0', 'Z'};
    check(Call{}, generalized, true);
    // A value of the same length that is not DER: a whole build carries it
    // as DER, which the form must not skip.
    Call der{.time = {0x01, 0x01, 0xFF}};
    Call notDer{.time = {0x01, 0x01, 0x01}};
    check(der, notDer, true);
    // One that is no encoding at all.
    Call broken{.time = {0x04, 0x05, 0x00}};
    check(der, broken, false);
    // Two values, whose order depends on what they are.
    Call two{.time = UtcTime("261207102031"), .secondTime = UtcTime("261207102032")};
    Call swapped{.time = UtcTime("261207102033"), .secondTime = UtcTime("261207102030")};
    check(two, swapped, true);
}

// What a size query keeps is its thread's own: threads signing at once
// through the same two contexts, each with its own times and texts, get the
// bytes of a whole build every time.
TEST_F(PreparedMessages, ThreadsSigningAtOnceEachGetTheBytesOfAWholeBuild) {
    constexpr int kThreads = 4, kRounds = 6;
    const auto callOf = [](int thread, int round) {
        Call call{.detached = thread % 2 == 0};
        call.text = "Pay " + std::to_string(thread * 100 + round) + " to Bob";
        call.time = UtcTime("2612071020" + std::to_string(10 + round));
        return call;
    };
    std::vector<std::vector<BYTE>> expected;
    for (int t = 0; t < kThreads; ++t)
        for (int r = 0; r < kRounds; ++r)
            expected.push_back(Whole((t + r) % 2 == 0 ? m_ctxA : m_ctxB, callOf(t, r)));
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                const Call call = callOf(t, r);
                PCCERT_CONTEXT signer = (t + r) % 2 == 0 ? m_ctxA : m_ctxB;
                for (int again = 0; again < 2; ++again) {
                    const auto size = Run(signer, call, true).size();
                    const auto made = Run(signer, call, false);
                    if (made.size() != size || made != expected[std::size_t(t * kRounds + r)])
                        ++wrong;
                }
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(PreparedMessages, ACallThatCannotBeMadeFailsAfterAPreparedOneAsItWouldWithout) {
    Run(m_ctxA, Call{}, true);
    CRYPT_ATTRIBUTE broken{const_cast<LPSTR>(szOID_RSA_signingTime), 1, nullptr};
    CRYPT_SIGN_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    para.pSigningCert = m_ctxA;
    para.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_MD5);
    para.cAuthAttr = 1;
    para.rgAuthAttr = &broken;
    const BYTE* pieces[1] = {reinterpret_cast<const BYTE*>("x")};
    DWORD lengths[1] = {1};
    BYTE out[4096];
    DWORD size = sizeof out;
    EXPECT_FALSE(CryptSignMessage(&para, TRUE, 1, pieces, lengths, out, &size));
    EXPECT_EQ(GetLastError(), DWORD(E_INVALIDARG));
}

}  // namespace
