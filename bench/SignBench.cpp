// Signing by position against OpenSSL signing the same text with the same key
// already in memory, the signature text encoder against OpenSSL's base64, the
// three inspection methods against OpenSSL's decoding and verification of the
// same message, and the hexadecimal decoder against OpenSSL's and a plain loop.

#include <benchmark/benchmark.h>
#include <openssl/cms.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pkcs7.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "control/OstrelCtrl.h"
#include "control/OstrelSigner.h"
#include "platform/crypt/CertCache.h"
#include "platform/crypt/Store.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/text/Bstr.h"
#include "platform/win/Time.h"
#include "tests/platform/crypt/SignedMessages.h"
#include "tests/support/TestSupport.h"

struct OstrelCtrlTestAccess {
    static CString Encode(const BYTE* data, int count) {
        COstrelCtrl ctrl;
        return ctrl.EncodeBase64(data, count);
    }
    static void DecodeHex(COstrelCtrl& ctrl, const char* text, int length, BYTE* out) {
        ctrl.DecodeHex(text, length, out);
    }
};

namespace {

using namespace ostrel::test;
namespace ossl = platform::crypt::ossl;

const std::string kText = "I agree to pay 1,000 units to the bearer on 7 December 2026.";

// A home whose personal store holds `count` certificates, all with the one key.
struct Fixture {
    explicit Fixture(int count) {
        for (int i = 0; i < count; ++i) {
            char serial[16];
            std::snprintf(serial, sizeof serial, "%04X", i + 1);
            auto cert =
                MakeCert({.subject = "/CN=Bench " + std::to_string(i), .serialHex = serial});
            AddToStore(cert);
            if (i == count - 1) last = std::move(cert);
        }
        path = home.Path();
    }
    TempHome home;
    std::filesystem::path path;
    TestCert last;
};

Fixture& Store(int count) {
    static std::map<int, std::unique_ptr<Fixture>> fixtures;
    auto& f = fixtures[count];
    if (!f) f = std::make_unique<Fixture>(count);
    ::setenv("OSTREL_HOME", f->path.c_str(), 1);
    return *f;
}

void SignByIndex(benchmark::State& state, int count, long index) {
    Store(count);
    ::setenv("OSTREL_UI", "none", 1);
    COstrelCtrl ctrl;
    for (auto _ : state) {
        BSTR result = ctrl.SignMessageNoPrompt(kText.c_str(), index);
        if (SysStringLen(result) == 0) state.SkipWithError("signing failed");
        SysFreeString(result);
    }
}

void BM_SignMessageNoPrompt_Index0_Of10(benchmark::State& state) {
    SignByIndex(state, 10, 0);
}
void BM_SignMessageNoPrompt_Index999_Of1000(benchmark::State& state) {
    SignByIndex(state, 1000, 999);
}

// What signing at position 999 pays beyond signing: opening the store and
// walking it to that position, as the signing pipeline does.
void BM_WalkStore_To999_Of1000(benchmark::State& state) {
    Store(1000);
    for (auto _ : state) {
        HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
        PCCERT_CONTEXT context = nullptr;
        for (int i = 0; i < 1000; ++i) {
            context = CertEnumCertificatesInStore(store, context);
            if (context == nullptr) {
                state.SkipWithError("the walk ended early");
                break;
            }
        }
        CertFreeCertificateContext(context);
        CertCloseStore(store, 0);
    }
}

// The part of that which a signature at position 0 pays too: opening the
// store, taking its first certificate, closing it.
void BM_OpenStore_Of1000(benchmark::State& state) {
    Store(1000);
    for (auto _ : state) {
        HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
        PCCERT_CONTEXT context = CertEnumCertificatesInStore(store, nullptr);
        CertFreeCertificateContext(context);
        CertCloseStore(store, 0);
    }
}
// The floor under both: the RSA signature of an MD5 digest alone.
void BM_OpenSSL_RSA_Sign_Digest(benchmark::State& state) {
    const TestCert& cert = Store(10).last;
    unsigned char digest[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(
        EVP_PKEY_CTX_new(cert.key.get(), nullptr), EVP_PKEY_CTX_free);
    if (EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_md5()) != 1)
        state.SkipWithError("cannot set up the signature");
    unsigned char signature[1024];
    for (auto _ : state) {
        std::size_t length = sizeof signature;
        if (EVP_PKEY_sign(ctx.get(), signature, &length, digest, sizeof digest) != 1)
            state.SkipWithError("EVP_PKEY_sign failed");
        benchmark::DoNotOptimize(signature);
    }
}

void BM_OpenSSL_PKCS7_sign(benchmark::State& state) {
    const TestCert& cert = Store(10).last;
    for (auto _ : state) {
        ossl::BioPtr in(BIO_new_mem_buf(kText.data(), static_cast<int>(kText.size())));
        const int flags = PKCS7_DETACHED | PKCS7_BINARY | PKCS7_PARTIAL | PKCS7_NOSMIMECAP;
        ossl::Pkcs7Ptr p7(PKCS7_sign(nullptr, nullptr, nullptr, nullptr, flags));
        PKCS7_sign_add_signer(p7.get(), cert.cert.get(), cert.key.get(), EVP_md5(), flags);
        PKCS7_add_certificate(p7.get(), cert.cert.get());
        if (PKCS7_final(p7.get(), in.get(), flags) != 1) state.SkipWithError("PKCS7_final failed");
        auto der = ossl::ToDer(p7.get(), i2d_PKCS7);
        benchmark::DoNotOptimize(der.data());
    }
}

// --- CAdES-B-like signatures: CryptSignMessage against CMS_sign -----------------
//
// The same key, digest (SHA-256) and signed attributes on both sides: content
// type, message digest, signing time and ESS signing-certificate-v2 (its
// value made once, as a caller signing many texts with one certificate
// does); the signer's certificate carried; the content detached. The
// platform is called as its callers call it: a size query, then the call.

struct CadesSigner {
    explicit CadesSigner(bool ec) {
        path = home.Path();
        cert = MakeCert({.subject = ec ? "/CN=Bench EC" : "/CN=Bench RSA",
                         .serialHex = ec ? "EC01" : "5A01",
                         .ec = ec});
        AddToStore(cert);
        store = CertOpenSystemStoreA(0, "MY");
        for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(store, nullptr); c != nullptr;
             c = CertEnumCertificatesInStore(store, c)) {
            const auto der = cert.Der();
            if (c->cbCertEncoded == der.size() &&
                std::equal(der.begin(), der.end(), c->pbCertEncoded)) {
                context = CertDuplicateCertificateContext(c);
            }
        }
        const auto der = cert.Der();
        Bytes hash(SHA256_DIGEST_LENGTH);
        SHA256(der.data(), der.size(), hash.data());
        const Bytes issuer = ossl::ToDer(X509_get_issuer_name(cert.cert.get()), i2d_X509_NAME);
        const Bytes serial = ossl::ToDer(X509_get_serialNumber(cert.cert.get()), i2d_ASN1_INTEGER);
        ess = Tlv(
            0x30,
            Tlv(0x30, Tlv(0x30, Join({Tlv(0x04, hash),
                                      Tlv(0x30, Join({Tlv(0x30, Tlv(0xA4, issuer)), serial}))}))));
    }
    TempHome home;  // of its own: the other benchmarks' stores keep their counts
    std::filesystem::path path;
    TestCert cert;
    HCERTSTORE store = nullptr;
    PCCERT_CONTEXT context = nullptr;
    Bytes ess;
};

CadesSigner& Cades(bool ec) {
    static std::map<bool, std::unique_ptr<CadesSigner>> signers;
    auto& s = signers[ec];
    if (!s) s = std::make_unique<CadesSigner>(ec);
    ::setenv("OSTREL_HOME", s->path.c_str(), 1);
    return *s;
}

const char kSigningCertV2[] = "1.2.840.113549.1.9.16.2.47";

void CryptSignMessageCades(benchmark::State& state, bool ec) {
    CadesSigner& signer = Cades(ec);
    if (signer.context == nullptr) state.SkipWithError("no signer in the store");
    for (auto _ : state) {
        const FILETIME now = platform::win::CurrentFileTime();
        BYTE time[32];
        DWORD timeSize = sizeof time;
        if (!CryptEncodeObject(X509_ASN_ENCODING, PKCS_UTC_TIME, &now, time, &timeSize))
            state.SkipWithError("no signing time");
        CRYPT_ATTR_BLOB timeBlob{timeSize, time};
        CRYPT_ATTR_BLOB essBlob{DWORD(signer.ess.size()), signer.ess.data()};
        CRYPT_ATTRIBUTE auth[2] = {{const_cast<LPSTR>(szOID_RSA_signingTime), 1, &timeBlob},
                                   {const_cast<LPSTR>(kSigningCertV2), 1, &essBlob}};
        CRYPT_SIGN_MESSAGE_PARA para{};
        para.cbSize = sizeof para;
        para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
        para.pSigningCert = signer.context;
        para.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_NIST_sha256);
        para.cMsgCert = 1;
        para.rgpMsgCert = &signer.context;
        para.cAuthAttr = 2;
        para.rgAuthAttr = auth;
        const BYTE* pieces[1] = {reinterpret_cast<const BYTE*>(kText.data())};
        DWORD lengths[1] = {DWORD(kText.size())};
        DWORD size = 0;
        if (!CryptSignMessage(&para, TRUE, 1, pieces, lengths, nullptr, &size))
            state.SkipWithError("the size query failed");
        std::vector<BYTE> out(size);
        if (!CryptSignMessage(&para, TRUE, 1, pieces, lengths, out.data(), &size))
            state.SkipWithError("signing failed");
        benchmark::DoNotOptimize(out.data());
    }
}

void OpenSslCmsCades(benchmark::State& state, bool ec) {
    CadesSigner& signer = Cades(ec);
    const unsigned flags = CMS_DETACHED | CMS_BINARY | CMS_PARTIAL | CMS_NOSMIMECAP;
    for (auto _ : state) {
        ossl::BioPtr in(BIO_new_mem_buf(kText.data(), static_cast<int>(kText.size())));
        CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
        CMS_SignerInfo* si = cms ? CMS_add1_signer(cms.get(), signer.cert.cert.get(),
                                                   signer.cert.key.get(), EVP_sha256(), flags)
                                 : nullptr;
        // The signing time and content type are added by CMS_final.
        if (si == nullptr ||
            CMS_signed_add1_attr_by_txt(si, kSigningCertV2, V_ASN1_SEQUENCE, signer.ess.data(),
                                        int(signer.ess.size())) != 1 ||
            CMS_final(cms.get(), in.get(), nullptr, flags) != 1)
            state.SkipWithError("CMS_sign failed");
        auto der = CmsDer(cms.get());
        benchmark::DoNotOptimize(der.data());
    }
}

void BM_CryptSignMessage_CAdES_RSA2048_SHA256(benchmark::State& state) {
    CryptSignMessageCades(state, false);
}
void BM_OpenSSL_CMS_sign_CAdES_RSA2048_SHA256(benchmark::State& state) {
    OpenSslCmsCades(state, false);
}
void BM_CryptSignMessage_CAdES_P256_SHA256(benchmark::State& state) {
    CryptSignMessageCades(state, true);
}
void BM_OpenSSL_CMS_sign_CAdES_P256_SHA256(benchmark::State& state) {
    OpenSslCmsCades(state, true);
}

// The signer object's Sign, called in-process as a host's IDispatch call
// reaches it: the options read, the store opened at the position, the
// signing time and signing-certificate attributes made, the message signed
// and written as signature text. The work of OpenSslCmsCades and more.
void SignerSignCades(benchmark::State& state, bool ec) {
    Cades(ec);
    ::setenv("OSTREL_UI", "none", 1);
    COstrelSigner signer;
    const char* options = R"({"certificate": 0, "digest": "SHA-256", "format": "CAdES-B"})";
    for (auto _ : state) {
        try {
            BSTR result = signer.Sign(kText.c_str(), options);
            if (SysStringLen(result) == 0) state.SkipWithError("signing failed");
            SysFreeString(result);
        } catch (...) {
            state.SkipWithError("Sign failed");
            break;
        }
    }
}
void BM_Signer_Sign_CAdES_RSA2048_SHA256(benchmark::State& state) {
    SignerSignCades(state, false);
}
void BM_Signer_Sign_CAdES_P256_SHA256(benchmark::State& state) {
    SignerSignCades(state, true);
}

std::vector<BYTE> Payload(std::size_t size) {
    std::vector<BYTE> data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<BYTE>(i * 131 + 7);
    return data;
}

void BM_EncodeBase64(benchmark::State& state) {
    const auto data = Payload(std::size_t(state.range(0)));
    for (auto _ : state) {
        CString text = OstrelCtrlTestAccess::Encode(data.data(), static_cast<int>(data.size()));
        benchmark::DoNotOptimize(text.GetString());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * state.range(0));
}

void BM_OpenSSL_EVP_EncodeBlock(benchmark::State& state) {
    const auto data = Payload(std::size_t(state.range(0)));
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    for (auto _ : state) {
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(),
                        static_cast<int>(data.size()));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * state.range(0));
}

// --- Verification: the control's three methods against OpenSSL ------------------
//
// A message of 2 KiB or 64 KiB signed with its content (MD5, signed
// attributes, as the control's own producers make it). The control takes it
// as hexadecimal text and pays for decoding it; OpenSSL is given the DER.
// "Repeated signer": the signer's certificate was seen before and is kept;
// "new signer": the kept certificates are dropped before every call.

struct Signed {
    std::string hex;
    std::vector<BYTE> der;
};

const Signed& Message(std::size_t size) {
    static std::map<std::size_t, Signed> messages;
    auto& m = messages[size];
    if (m.hex.empty()) {
        const TestCert& cert = Store(10).last;
        std::string text(size, ' ');
        for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
        platform::crypt::ossl::BioPtr in(BIO_new_mem_buf(text.data(), int(text.size())));
        ossl::Pkcs7Ptr p7(PKCS7_sign(nullptr, nullptr, nullptr, nullptr,
                                     PKCS7_BINARY | PKCS7_PARTIAL | PKCS7_NOSMIMECAP));
        PKCS7_sign_add_signer(p7.get(), cert.cert.get(), cert.key.get(), EVP_md5(),
                              PKCS7_BINARY | PKCS7_NOSMIMECAP);
        PKCS7_final(p7.get(), in.get(), PKCS7_BINARY);
        m.der = ossl::ToDer(p7.get(), i2d_PKCS7);
        m.hex = Hex(m.der);
    }
    return m;
}

template <typename Call>
void ControlMethod(benchmark::State& state, bool newSigner, Call call) {
    const Signed& m = Message(std::size_t(state.range(0)));
    ::setenv("OSTREL_UI", "none", 1);
    COstrelCtrl ctrl;
    platform::crypt::ClearCertCache();
    for (auto _ : state) {
        if (newSigner) platform::crypt::ClearCertCache();
        if (!call(ctrl, m.hex.c_str())) state.SkipWithError("the message did not verify");
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * state.range(0));
}

void BM_VerifyMessage_RepeatedSigner(benchmark::State& state) {
    ControlMethod(state, false,
                  [](COstrelCtrl& c, const char* hex) { return c.VerifyMessage(hex) != FALSE; });
}
void BM_VerifyMessage_NewSigner(benchmark::State& state) {
    ControlMethod(state, true,
                  [](COstrelCtrl& c, const char* hex) { return c.VerifyMessage(hex) != FALSE; });
}
void BM_GetSubjectName(benchmark::State& state) {
    ControlMethod(state, false, [](COstrelCtrl& c, const char* hex) {
        platform::com::Bstr name(c.GetSubjectName(hex));
        return !name.View().empty();
    });
}
void BM_GetSerialNumber(benchmark::State& state) {
    ControlMethod(state, false, [](COstrelCtrl& c, const char* hex) {
        platform::com::Bstr serial(c.GetSerialNumber(hex));
        return !serial.View().empty();
    });
}

// OpenSSL's path on the same message: decode it, then verify its signer
// (without a chain, as the control does).
void BM_OpenSSL_d2i_PKCS7_Verify(benchmark::State& state) {
    const Signed& m = Message(std::size_t(state.range(0)));
    for (auto _ : state) {
        const unsigned char* p = m.der.data();
        ossl::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, long(m.der.size())));
        if (!p7 || PKCS7_verify(p7.get(), nullptr, nullptr, nullptr, nullptr,
                                PKCS7_NOVERIFY | PKCS7_NOCHAIN | PKCS7_BINARY) != 1)
            state.SkipWithError("OpenSSL did not verify");
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * state.range(0));
}

// Where a new signer's time goes: OpenSSL reading the public key info alone
// (all the platform hands it), and reading the whole certificate.
void BM_OpenSSL_d2i_PUBKEY(benchmark::State& state) {
    const auto spki = ossl::ToDer(X509_get_X509_PUBKEY(Store(10).last.cert.get()), i2d_X509_PUBKEY);
    for (auto _ : state) {
        const unsigned char* p = spki.data();
        ossl::PkeyPtr key(d2i_PUBKEY(nullptr, &p, long(spki.size())));
        if (!key) state.SkipWithError("no key");
    }
}
void BM_OpenSSL_d2i_X509(benchmark::State& state) {
    const auto der = Store(10).last.Der();
    for (auto _ : state) {
        const unsigned char* p = der.data();
        ossl::X509Ptr cert(d2i_X509(nullptr, &p, long(der.size())));
        if (!cert) state.SkipWithError("no certificate");
    }
}

// --- Hexadecimal text to bytes ---------------------------------------------------

std::string HexText(std::size_t bytes) {
    return Hex(Payload(bytes));
}

void BM_DecodeHex(benchmark::State& state) {
    const std::string text = HexText(std::size_t(state.range(0)));
    std::vector<BYTE> out(text.size() / 2);
    COstrelCtrl ctrl;
    for (auto _ : state) {
        OstrelCtrlTestAccess::DecodeHex(ctrl, text.data(), int(text.size()), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
}

// A plain loop over the digits, as one writes it without tables.
void BM_PlainLoopHex(benchmark::State& state) {
    const std::string text = HexText(std::size_t(state.range(0)));
    std::vector<BYTE> out(text.size() / 2);
    const auto digit = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (auto _ : state) {
        for (std::size_t i = 0; i + 1 < text.size(); i += 2)
            out[i / 2] = BYTE(digit(text[i]) << 4 | digit(text[i + 1]));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
}

void BM_OpenSSL_hexstr2buf(benchmark::State& state) {
    const std::string text = HexText(std::size_t(state.range(0)));
    for (auto _ : state) {
        long length = 0;
        unsigned char* out = OPENSSL_hexstr2buf(text.c_str(), &length);
        benchmark::DoNotOptimize(out);
        OPENSSL_free(out);
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
}

// The fastest repetition beside the median: on a shared machine another
// tenant only ever adds time, so the least disturbed repetition is the
// steadiest figure to compare.
double Fastest(const std::vector<double>& v) {
    return v.empty() ? 0.0 : *std::min_element(v.begin(), v.end());
}
void WithFastest(benchmark::internal::Benchmark* b) {
    b->ComputeStatistics("min", Fastest);
}
void InMicroseconds(benchmark::internal::Benchmark* b) {
    WithFastest(b->Unit(benchmark::kMicrosecond));
}
void SmallAndLarge(benchmark::internal::Benchmark* b) {
    InMicroseconds(b->Arg(2048)->Arg(65536));
}
void OneMebibyte(benchmark::internal::Benchmark* b) {
    WithFastest(b->Arg(1 << 20));
}

}  // namespace

BENCHMARK(BM_OpenSSL_PKCS7_sign)->Apply(InMicroseconds);
BENCHMARK(BM_OpenSSL_CMS_sign_CAdES_RSA2048_SHA256)->Apply(InMicroseconds);
BENCHMARK(BM_CryptSignMessage_CAdES_RSA2048_SHA256)->Apply(InMicroseconds);
BENCHMARK(BM_OpenSSL_CMS_sign_CAdES_P256_SHA256)->Apply(InMicroseconds);
BENCHMARK(BM_CryptSignMessage_CAdES_P256_SHA256)->Apply(InMicroseconds);
BENCHMARK(BM_Signer_Sign_CAdES_RSA2048_SHA256)->Apply(InMicroseconds);
BENCHMARK(BM_Signer_Sign_CAdES_P256_SHA256)->Apply(InMicroseconds);
BENCHMARK(BM_OpenSSL_RSA_Sign_Digest)->Apply(InMicroseconds);
BENCHMARK(BM_SignMessageNoPrompt_Index0_Of10)->Apply(InMicroseconds);
BENCHMARK(BM_SignMessageNoPrompt_Index999_Of1000)->Apply(InMicroseconds);
BENCHMARK(BM_WalkStore_To999_Of1000)->Apply(InMicroseconds);
BENCHMARK(BM_OpenStore_Of1000)->Apply(InMicroseconds);
BENCHMARK(BM_OpenSSL_EVP_EncodeBlock)->Apply(OneMebibyte);
BENCHMARK(BM_EncodeBase64)->Apply(OneMebibyte);
BENCHMARK(BM_OpenSSL_d2i_PKCS7_Verify)->Apply(SmallAndLarge);
BENCHMARK(BM_VerifyMessage_NewSigner)->Apply(SmallAndLarge);
BENCHMARK(BM_VerifyMessage_RepeatedSigner)->Apply(SmallAndLarge);
BENCHMARK(BM_GetSubjectName)->Apply(SmallAndLarge);
BENCHMARK(BM_GetSerialNumber)->Apply(SmallAndLarge);
BENCHMARK(BM_OpenSSL_d2i_PUBKEY)->Apply(InMicroseconds);
BENCHMARK(BM_OpenSSL_d2i_X509)->Apply(InMicroseconds);
BENCHMARK(BM_OpenSSL_hexstr2buf)->Apply(OneMebibyte);
BENCHMARK(BM_PlainLoopHex)->Apply(OneMebibyte);
BENCHMARK(BM_DecodeHex)->Apply(OneMebibyte);

BENCHMARK_MAIN();
