// What a time stamp costs against the loopback test authority
// (tests/support/tsa): CryptRetrieveTimeStamp in-process (request, POST,
// checks of the reply, the context handed out) beside the same exchange done
// directly, `openssl ts -query` piped into a `curl` POST. Most of either is
// the authority's own work (it runs `openssl ts -reply` per request), which
// BM_AuthorityOnly shows alone: a POST of a request made once. Last, what
// CAdES-T adds to a signature: the signer's Sign with CAdES-T beside CAdES-B,
// same key and text.

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <string>
#include <vector>

#include "control/OstrelSigner.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/text/Bstr.h"
#include "platform/win/LastError.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TestTsa.h"

namespace {

using ostrel::test::TestTsa;

// A signature value's worth of bytes: what CAdES-T stamps.
const std::vector<BYTE> kSignature(256, 0x5A);

std::string Hex(const std::vector<BYTE>& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (BYTE b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

void BM_CryptRetrieveTimeStamp(benchmark::State& state) {
    const std::wstring url = TestTsa::Shared().WideUrl("good");
    for (auto _ : state) {
        BYTE nonce[16];
        CryptGenRandom(0, sizeof nonce, nonce);
        CRYPT_TIMESTAMP_PARA para{nullptr, TRUE, {sizeof nonce, nonce}, 0, nullptr};
        PCRYPT_TIMESTAMP_CONTEXT context = nullptr;
        if (!CryptRetrieveTimeStamp(url.c_str(), 0, 10'000, szOID_NIST_sha256, &para,
                                    kSignature.data(), DWORD(kSignature.size()), &context, nullptr,
                                    nullptr)) {
            state.SkipWithError(
                ("CryptRetrieveTimeStamp failed: " + std::to_string(GetLastError())).c_str());
            break;
        }
        CryptMemFree(context);
    }
}

// The same request and POST by hand: the digest given to `openssl ts -query`
// (with a nonce and a certificate request, as above) and the reply taken by
// `curl`; nothing is checked.
void BM_OpensslQueryAndCurl(benchmark::State& state) {
    std::vector<BYTE> digest(32);
    EVP_Digest(kSignature.data(), kSignature.size(), digest.data(), nullptr, EVP_sha256(), nullptr);
    const std::string command = "openssl ts -query -sha256 -cert -digest " + Hex(digest) +
                                " 2>/dev/null | curl -s -f --noproxy '*' --data-binary @- -H "
                                "'Content-Type: application/timestamp-query' -o /dev/null '" +
                                TestTsa::Shared().Url("good") + "'";
    for (auto _ : state) {
        if (ostrel::test::RunCommand(command).status != 0) {
            state.SkipWithError("openssl ts -query | curl failed");
            break;
        }
    }
}

void BM_AuthorityOnly(benchmark::State& state) {
    const auto& tsa = TestTsa::Shared();
    const auto folder = tsa.CaCert().parent_path();
    std::vector<BYTE> digest(32);
    EVP_Digest(kSignature.data(), kSignature.size(), digest.data(), nullptr, EVP_sha256(), nullptr);
    ostrel::test::RunCommand("openssl ts -query -sha256 -cert -digest " + Hex(digest) +
                             " 2>/dev/null -out '" + (folder / "bench.tsq").string() + "'");
    const std::string command =
        "curl -s -f --noproxy '*' --data-binary @'" + (folder / "bench.tsq").string() +
        "' -H 'Content-Type: application/timestamp-query' -o /dev/null '" + tsa.Url("good") + "'";
    for (auto _ : state) {
        if (ostrel::test::RunCommand(command).status != 0) {
            state.SkipWithError("curl failed");
            break;
        }
    }
}

// One certificate of its own at position 0, signed with by the signer.
void SignerSign(benchmark::State& state, const char* format) {
    static ostrel::test::TempHome home;
    static const bool made = [] {
        ::setenv("OSTREL_HOME", home.Path().c_str(), 1);
        ostrel::test::AddToStore(ostrel::test::MakeCert({.subject = "/CN=Bench CAdES-T"}));
        return true;
    }();
    (void)made;
    ::setenv("OSTREL_HOME", home.Path().c_str(), 1);
    ::setenv("OSTREL_UI", "none", 1);
    const std::string options = std::string(R"({"certificate": 0, "format": ")") + format +
                                R"(", "tsa": ")" + TestTsa::Shared().Url("good") + R"("})";
    COstrelSigner signer;
    for (auto _ : state) {
        try {
            BSTR result = signer.Sign("I agree.", options.c_str());
            SysFreeString(result);
        } catch (...) {
            state.SkipWithError("Sign failed");
            break;
        }
    }
}
void BM_Signer_Sign_CAdES_B(benchmark::State& state) {
    SignerSign(state, "CAdES-B");
}
void BM_Signer_Sign_CAdES_T(benchmark::State& state) {
    SignerSign(state, "CAdES-T");
}

BENCHMARK(BM_CryptRetrieveTimeStamp)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpensslQueryAndCurl)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AuthorityOnly)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Signer_Sign_CAdES_B)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Signer_Sign_CAdES_T)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
