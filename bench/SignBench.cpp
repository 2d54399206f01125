// Signing by position against OpenSSL signing the same text with the same key
// already in memory, the signature text encoder against OpenSSL's base64, and
// the check of a signed message with its content (what the bridge's benchmark
// sets its page calls beside).

#include <benchmark/benchmark.h>
#include <openssl/pkcs7.h>

#include <cstdlib>
#include <memory>

#include "control/OstrelCtrl.h"
#include "platform/crypt/Store.h"
#include "tests/platform/crypt/SignedMessages.h"
#include "tests/support/TestSupport.h"

struct OstrelCtrlTestAccess {
    static CString Encode(const BYTE* data, int count) {
        COstrelCtrl ctrl;
        return ctrl.EncodeBase64(data, count);
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

// A message of 2 KiB signed with its content, given as hexadecimal text.
void BM_VerifyMessage_2KiB(benchmark::State& state) {
    const TestCert& cert = Store(10).last;
    std::string text(2048, ' ');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
    const std::string hex = Hex(SignPkcs7(text, cert));
    ::setenv("OSTREL_UI", "none", 1);
    COstrelCtrl ctrl;
    for (auto _ : state)
        if (!ctrl.VerifyMessage(hex.c_str())) state.SkipWithError("the message did not verify");
}

}  // namespace

BENCHMARK(BM_OpenSSL_PKCS7_sign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SignMessageNoPrompt_Index0_Of10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SignMessageNoPrompt_Index999_Of1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenSSL_EVP_EncodeBlock)->Arg(1 << 20);
BENCHMARK(BM_EncodeBase64)->Arg(1 << 20);
BENCHMARK(BM_VerifyMessage_2KiB)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
