// Signing with a key on a SoftHSM2 token (after the first login) against
// SoftHSM2 signing with the same key in a plain C_Sign loop, and what a
// token with 10 certificates adds to opening and walking the store once the
// first opening has read it.

#define CK_DISABLE_TRUE_FALSE
#include <benchmark/benchmark.h>
#include <p11-kit/p11-kit.h>
#include <p11-kit/pkcs11.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "control/OstrelCtrl.h"
#include "platform/crypt/Tokens.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/seams/TokenPrompt.h"
#include "tests/support/SoftTokens.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ostrel::test;

const std::string kText = "I agree to pay 1,000 units to the bearer on 7 December 2026.";
constexpr char kPin[] = "1234";

class FixedPin final : public platform::seams::TokenPrompt {
public:
    bool AskPin(const platform::seams::PinRequest&,
                platform::seams::PinBuffer& pin) noexcept override {
        std::memcpy(pin.data, kPin, sizeof kPin);
        pin.length = sizeof kPin - 1;
        return true;
    }
    void BeginPinPadNotice(const platform::seams::PinRequest&) noexcept override {}
    void EndPinPadNotice() noexcept override {}
};

// A home with an empty file store, and one token: an RSA-2048 key with its
// certificate, and `extra` more certificates.
struct TokenFixture {
    explicit TokenFixture(int extra) {
        tokens.emplace(home.Path());
        tokens->AddToken("Bench", kPin);
        signer = MakeCert({.subject = "/CN=Bench Signer", .serialHex = "B0"});
        tokens->ImportKey("Bench", signer, "00", kPin);
        tokens->ImportCert("Bench", signer, "00", kPin);
        for (int i = 1; i <= extra; ++i) {
            char id[16];
            std::snprintf(id, sizeof id, "%02X", i);
            tokens->ImportCert("Bench",
                               MakeCert({.subject = "/CN=Bench " + std::to_string(i),
                                         .serialHex = std::string("B") + id}),
                               id, kPin);
        }
        platform::crypt::CloseTokenModules();
    }
    TempHome home;
    std::optional<SoftTokens> tokens;
    TestCert signer;
};

// Made on first use and removed by main before the process ends: a token
// module is not to be finalised while the process's static objects go.
std::unique_ptr<TokenFixture> g_fixture;

TokenFixture& Fixture() {
    // Ten certificates on the token in all.
    if (!g_fixture) g_fixture = std::make_unique<TokenFixture>(9);
    return *g_fixture;
}

void BM_Token_SignMessageNoPrompt(benchmark::State& state) {
    Fixture();
    ::setenv("OSTREL_UI", "none", 1);
    FixedPin pin;
    platform::seams::ScopedTokenPrompt prompt(&pin);
    COstrelCtrl ctrl;
    // The first signature logs in; the session keeps the login.
    SysFreeString(ctrl.SignMessageNoPrompt(kText.c_str(), 0));
    for (auto _ : state) {
        BSTR result = ctrl.SignMessageNoPrompt(kText.c_str(), 0);
        if (SysStringLen(result) == 0) state.SkipWithError("signing failed");
        SysFreeString(result);
    }
}

// SoftHSM2's own signing loop: C_Sign with CKM_RSA_PKCS on the same key over
// a DigestInfo of MD5's size.
void BM_SoftHSM_C_Sign(benchmark::State& state) {
    Fixture();
    CK_FUNCTION_LIST* module = p11_kit_module_load(SoftTokens::ModulePath().c_str(), 0);
    if (module == nullptr || p11_kit_module_initialize(module) != CKR_OK) {
        state.SkipWithError("SoftHSM2 cannot be loaded");
        return;
    }
    CK_ULONG count = 0;
    module->C_GetSlotList(CK_TRUE, nullptr, &count);
    std::vector<CK_SLOT_ID> slots(count);
    module->C_GetSlotList(CK_TRUE, slots.data(), &count);
    CK_SESSION_HANDLE session = 0;
    CK_OBJECT_HANDLE key = 0;
    for (const auto slot : slots) {
        CK_TOKEN_INFO info{};
        module->C_GetTokenInfo(slot, &info);
        if (std::string(reinterpret_cast<char*>(info.label), 5) != "Bench") continue;
        module->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &session);
        module->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)kPin, 4);
        CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
        CK_ATTRIBUTE find[] = {{CKA_CLASS, &keyClass, sizeof keyClass}};
        CK_ULONG found = 0;
        module->C_FindObjectsInit(session, find, 1);
        module->C_FindObjects(session, &key, 1, &found);
        module->C_FindObjectsFinal(session);
    }
    if (key == 0) {
        state.SkipWithError("no key on the token");
        return;
    }
    std::vector<CK_BYTE> digestInfo(34, 0x5A);
    std::vector<CK_BYTE> signature(256);
    CK_MECHANISM mechanism{CKM_RSA_PKCS, nullptr, 0};
    for (auto _ : state) {
        CK_ULONG length = CK_ULONG(signature.size());
        if (module->C_SignInit(session, &mechanism, key) != CKR_OK ||
            module->C_Sign(session, digestInfo.data(), CK_ULONG(digestInfo.size()),
                           signature.data(), &length) != CKR_OK)
            state.SkipWithError("C_Sign failed");
        benchmark::DoNotOptimize(signature.data());
    }
    module->C_CloseSession(session);
    p11_kit_module_finalize(module);
    p11_kit_module_release(module);
}

void OpenAndWalk(benchmark::State& state) {
    HCERTSTORE first = CertOpenSystemStoreA(0, "MY");
    CertCloseStore(first, 0);
    std::size_t seen = 0;
    for (auto _ : state) {
        HCERTSTORE store = CertOpenSystemStoreA(0, "MY");
        PCCERT_CONTEXT ctx = nullptr;
        while ((ctx = CertEnumCertificatesInStore(store, ctx)) != nullptr) ++seen;
        CertCloseStore(store, 0);
    }
    state.counters["certificates"] =
        double(seen) / double(std::max<std::int64_t>(state.iterations(), 1));
}

void BM_OpenAndEnumerate_NoModules(benchmark::State& state) {
    TokenFixture& fixture = Fixture();
    (void)fixture;
    ::setenv("OSTREL_PKCS11_MODULES", "none", 1);
    platform::crypt::CloseTokenModules();
    OpenAndWalk(state);
}

void BM_OpenAndEnumerate_Token10(benchmark::State& state) {
    Fixture();
    ::setenv("OSTREL_PKCS11_MODULES", SoftTokens::ModulePath().c_str(), 1);
    platform::crypt::CloseTokenModules();
    OpenAndWalk(state);
}

}  // namespace

BENCHMARK(BM_SoftHSM_C_Sign)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Token_SignMessageNoPrompt)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenAndEnumerate_NoModules)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_OpenAndEnumerate_Token10)->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_fixture.reset();
    return 0;
}
