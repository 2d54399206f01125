#include <gtest/gtest.h>

#include "chooser/CertFilter.h"
#include "control/OstrelSigner.h"
#include "platform/win/Time.h"
#include "tests/chooser/ChooserTestSupport.h"

namespace {

using namespace ostrel::test;

// A store context with another key-usage extension (or none) in its place.
struct WithKeyUsage {
    WithKeyUsage(PCCERT_CONTEXT from, std::vector<BYTE> value)
        : info(*from->pCertInfo), der(value) {
        context = *from;
        context.pCertInfo = &info;
        extension = {const_cast<LPSTR>("2.5.29.15"), TRUE, {DWORD(der.size()), der.data()}};
        info.cExtension = der.empty() ? 0 : 1;
        info.rgExtension = der.empty() ? nullptr : &extension;
    }
    CERT_INFO info;
    std::vector<BYTE> der;
    CERT_EXTENSION extension{};
    CERT_CONTEXT context{};
};

TEST(CertFilter, EachPartOfTheFilterLetsThroughOnlyWhatItAsksFor) {
    TempHome home;
    CertOptions options;
    options.issuer = "/C=US/O=Example Trust/CN=Root CA";
    AddToStore(MakeCert(options));
    OpenStore store;
    PCCERT_CONTEXT cert = CertEnumCertificatesInStore(store.Get(), nullptr);
    ASSERT_NE(cert, nullptr);

    EXPECT_TRUE(CertificatePassesFilter(cert, {}));
    EXPECT_TRUE(CertificatePassesFilter(cert, {.validNow = true}));
    EXPECT_TRUE(CertificatePassesFilter(cert, {.issuer = "example TRUST"}));
    EXPECT_TRUE(CertificatePassesFilter(cert, {.issuer = ""}));
    EXPECT_FALSE(CertificatePassesFilter(cert, {.issuer = "Other CA"}));

    // Validity at another moment: two years on, the certificate has expired.
    SYSTEMTIME later{};
    GetSystemTime(&later);
    later.wYear = WORD(later.wYear + 2);
    FILETIME then{};
    ASSERT_TRUE(SystemTimeToFileTime(&later, &then));
    EXPECT_FALSE(CertificatePassesFilter(cert, {.validNow = true}, &then));
    EXPECT_TRUE(CertificatePassesFilter(cert, {}, &then));

    // Key usage: digitalSignature (bit 0) and nonRepudiation (bit 1) set.
    const WithKeyUsage signing(cert, {0x03, 0x02, 0x06, 0xC0});
    const CertificateFilter nonRepudiation{.keyUsage = {KeyUsageBit::NonRepudiation}};
    const CertificateFilter both{
        .keyUsage = {KeyUsageBit::NonRepudiation, KeyUsageBit::DigitalSignature}};
    EXPECT_TRUE(CertificatePassesFilter(&signing.context, nonRepudiation));
    EXPECT_TRUE(CertificatePassesFilter(&signing.context, both));
    // keyEncipherment (bit 2) only.
    const WithKeyUsage encipher(cert, {0x03, 0x02, 0x05, 0x20});
    EXPECT_FALSE(CertificatePassesFilter(&encipher.context, nonRepudiation));
    EXPECT_TRUE(
        CertificatePassesFilter(&encipher.context, {.keyUsage = {KeyUsageBit::KeyEncipherment}}));
    // decipherOnly is the ninth bit, in a second byte.
    const WithKeyUsage ninth(cert, {0x03, 0x03, 0x07, 0x80, 0x80});
    EXPECT_TRUE(CertificatePassesFilter(&ninth.context, {.keyUsage = {KeyUsageBit::DecipherOnly}}));
    EXPECT_FALSE(
        CertificatePassesFilter(&encipher.context, {.keyUsage = {KeyUsageBit::DecipherOnly}}));
    // No extension: any usage; a damaged one: none.
    const WithKeyUsage none(cert, {});
    EXPECT_TRUE(CertificatePassesFilter(&none.context, both));
    const WithKeyUsage damaged(cert, {0x04, 0x01, 0xC0});
    EXPECT_FALSE(CertificatePassesFilter(&damaged.context, nonRepudiation));
    EXPECT_TRUE(CertificatePassesFilter(&damaged.context, {}));

    CertFreeCertificateContext(cert);
}

TEST(CertFilter, TheChooserListsWhatPassesAndAnswersWithTheStorePosition) {
    TempHome home;
    int serial = 0;
    for (const char* issuer : {"/CN=Other CA", "/CN=Root CA", "/CN=Other CA", "/CN=Root CA"}) {
        CertOptions options;
        options.issuer = issuer;
        options.serialHex = "0A0" + std::to_string(++serial);
        AddToStore(MakeCert(options));
    }
    OpenStore store;
    {
        // Rows 0 and 1 are the store's positions 1 and 3.
        ScriptedUi ui("select 1; ok");
        EXPECT_EQ(ChooseFilteredPosition(store.Get(), {.issuer = "Root CA"}, nullptr), 3);
    }
    {
        ScriptedUi ui("select 0; ok");
        EXPECT_EQ(ChooseFilteredPosition(store.Get(), {.issuer = "Root CA"}, "text"), 1);
    }
    {
        ScriptedUi ui("select 0; cancel");
        EXPECT_EQ(ChooseFilteredPosition(store.Get(), {.issuer = "Root CA"}, nullptr), -1);
    }
    {
        // Through the signer, by its options.
        ScriptedUi ui("select 1; ok");
        COstrelSigner signer;
        EXPECT_EQ(signer.ChooseCertificate(R"({"filter": {"issuer": "other"}})"), 2);
    }
}

}  // namespace
