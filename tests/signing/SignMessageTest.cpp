#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <openssl/pkcs7.h>

#include <chrono>
#include <thread>

#include "control/OstrelCtrl.h"
#include "platform/crypt/FastPaths.h"
#include "platform/crypt/SignMessage.h"
#include "platform/crypt/Store.h"
#include "platform/text/Bstr.h"
#include "platform/win/Time.h"
#include "platform/win/WinError.h"
#include "tests/support/SoftTokens.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ostrel::test;
using platform::seams::ScopedFault;
using platform::seams::ScopedTrace;
using ::testing::ElementsAre;
namespace ossl = platform::crypt::ossl;

struct Outcome {
    bool isNull = false;
    std::string text;
    std::vector<std::string> boxes;     // "STYLE TEXT"
    std::vector<std::string> releases;  // clean-up calls after the last signing call
    std::vector<std::string> calls;
};

class Signing : public ::testing::Test {
protected:
    void SetUp() override { m_before = LiveCounts::Now(); }
    void TearDown() override { EXPECT_EQ(LiveCounts::Now(), m_before) << "something left alive"; }

    Outcome Sign(const std::string& text, long index) {
        Outcome out;
        ScopedTrace trace;
        {
            COstrelCtrl ctrl;
            platform::com::Bstr result(ctrl.SignMessageNoPrompt(text.c_str(), index));
            out.isNull = result.IsNull();
            out.text = result.Utf8();
        }
        out.calls = trace.Events();
        for (const auto& e : trace.Filtered({"AfxMessageBox "}))
            out.boxes.push_back(e.substr(std::string("AfxMessageBox ").size()));
        std::size_t from = 0;
        for (std::size_t i = 0; i < out.calls.size(); ++i)
            for (const char* work :
                 {"CryptAcquireContextA", "CertOpenSystemStoreA", "CertEnumCertificatesInStore",
                  "CryptEncodeObject", "CryptSignMessage"})
                if (out.calls[i].starts_with(work)) from = i + 1;
        for (std::size_t i = from; i < out.calls.size(); ++i)
            if (!out.calls[i].starts_with("AfxMessageBox") && out.calls[i] != "malloc")
                out.releases.push_back(out.calls[i]);
        return out;
    }

    TempHome m_home;
    LiveCounts m_before{};
};

ossl::Pkcs7Ptr Decode(const std::string& text) {
    const auto der = DecodeBase64Text(text);
    const unsigned char* p = der.data();
    ossl::Pkcs7Ptr p7(d2i_PKCS7(nullptr, &p, static_cast<long>(der.size())));
    if (p7 && p != der.data() + der.size()) p7.reset();
    return p7;
}

std::string Oid(const ASN1_OBJECT* o) {
    return ossl::OidText(o);
}

TEST_F(Signing, SignsWithTheCertificateAtTheIndexAsADetachedMd5SignedData) {
    const auto first = MakeCert({.subject = "/CN=First", .serialHex = "01"});
    const auto second = MakeCert({.subject = "/CN=Second", .serialHex = "00F0"});
    AddToStore(first);
    AddToStore(second);

    const Outcome out = Sign("Pay 100 to Bob", 1);
    ASSERT_FALSE(out.text.empty());
    EXPECT_TRUE(out.boxes.empty());
    EXPECT_EQ(out.text.substr(4, 2), "\r\n");

    auto p7 = Decode(out.text);
    ASSERT_TRUE(p7);
    ASSERT_EQ(OBJ_obj2nid(p7->type), NID_pkcs7_signed);
    EXPECT_TRUE(PKCS7_get_detached(p7.get()));
    PKCS7_SIGNED* sd = p7->d.sign;
    EXPECT_EQ(ASN1_INTEGER_get(sd->version), 1);
    ASSERT_EQ(sk_X509_ALGOR_num(sd->md_algs), 1);
    EXPECT_EQ(Oid(sk_X509_ALGOR_value(sd->md_algs, 0)->algorithm), "1.2.840.113549.2.5");

    // Only the signing certificate travels with the message.
    ASSERT_EQ(sk_X509_num(sd->cert), 1);
    EXPECT_EQ(X509_cmp(sk_X509_value(sd->cert, 0), second.cert.get()), 0);

    ASSERT_EQ(sk_PKCS7_SIGNER_INFO_num(sd->signer_info), 1);
    PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(sd->signer_info, 0);
    EXPECT_EQ(X509_NAME_cmp(si->issuer_and_serial->issuer, X509_get_issuer_name(second.cert.get())),
              0);
    EXPECT_EQ(
        ASN1_INTEGER_cmp(si->issuer_and_serial->serial, X509_get0_serialNumber(second.cert.get())),
        0);
    EXPECT_EQ(Oid(si->digest_alg->algorithm), "1.2.840.113549.2.5");
    ASSERT_NE(si->digest_alg->parameter, nullptr);
    EXPECT_EQ(si->digest_alg->parameter->type, V_ASN1_NULL);
    EXPECT_EQ(Oid(si->digest_enc_alg->algorithm), "1.2.840.113549.1.1.1");

    // Exactly the three authenticated attributes, in DER set order.
    ASSERT_EQ(sk_X509_ATTRIBUTE_num(si->auth_attr), 3);
    std::vector<std::string> oids;
    std::vector<std::vector<unsigned char>> encodings;
    for (int i = 0; i < 3; ++i) {
        X509_ATTRIBUTE* a = sk_X509_ATTRIBUTE_value(si->auth_attr, i);
        oids.push_back(Oid(X509_ATTRIBUTE_get0_object(a)));
        encodings.push_back(ossl::ToDer(a, i2d_X509_ATTRIBUTE));
    }
    EXPECT_THAT(
        oids, ElementsAre("1.2.840.113549.1.9.3", "1.2.840.113549.1.9.5", "1.2.840.113549.1.9.4"));
    EXPECT_TRUE(std::is_sorted(encodings.begin(), encodings.end()));

    // The signing time is now, as a UTCTime with seconds.
    ASN1_TYPE* when = PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime);
    ASSERT_NE(when, nullptr);
    ASSERT_EQ(when->type, V_ASN1_UTCTIME);
    EXPECT_EQ(when->value.utctime->length, 13);
    int days = 0, seconds = 0;
    ASSERT_EQ(ASN1_TIME_diff(&days, &seconds, when->value.utctime, nullptr), 1);
    EXPECT_EQ(days, 0);
    EXPECT_LE(std::abs(seconds), 5);
}

// The size asked first costs no second build; a signature through the same
// certificate as the one before takes that one's message as its form.
TEST_F(Signing, EachSignatureBuildsItsMessageAtMostOnceThoughTheSizeIsAskedFirst) {
    AddToStore(MakeCert({.subject = "/CN=First", .serialHex = "01"}));
    AddToStore(MakeCert({.subject = "/CN=Second", .serialHex = "02"}));
    const std::pair<long, std::uint64_t> signatures[] = {{0, 1}, {1, 1}, {0, 1}, {0, 0}, {0, 0}};
    for (const auto& [index, expected] : signatures) {
        const auto builds = platform::crypt::SignedMessageBuilds();
        const Outcome out = Sign("Pay 100 to Bob", index);
        EXPECT_FALSE(out.text.empty());
        // With the fast paths off (the suite's second run) each call builds
        // its message whole: the size query and the signature.
        EXPECT_EQ(platform::crypt::SignedMessageBuilds() - builds,
                  platform::crypt::FastPaths() ? expected : 2u)
            << "index " << index;
        auto p7 = Decode(out.text);
        ASSERT_TRUE(p7);
        ossl::BioPtr content(BIO_new_mem_buf("Pay 100 to Bob", 14));
        EXPECT_EQ(PKCS7_verify(p7.get(), nullptr, nullptr, content.get(), nullptr,
                               PKCS7_NOVERIFY | PKCS7_BINARY),
                  1);
    }
}

TEST_F(Signing, AVerifierWeDidNotWriteAcceptsTheSignatureAndRejectsAChangedText) {
    AddToStore(MakeCert());
    const std::string text = "Grüße, and a line\r\nbreak";
    const Outcome out = Sign(text, 0);
    ASSERT_FALSE(out.text.empty());
    const auto der = DecodeBase64Text(out.text);
    WriteFile(m_home.Path() / "sig.der", std::string(der.begin(), der.end()));
    WriteFile(m_home.Path() / "msg.txt", text);
    WriteFile(m_home.Path() / "other.txt", text + " ");
    const std::string verify = "openssl cms -verify -binary -noverify -inform DER -in '" +
                               (m_home.Path() / "sig.der").string() + "' -out /dev/null -content '";
    EXPECT_EQ(RunCommand(verify + (m_home.Path() / "msg.txt").string() + "' 2>&1").status, 0);
    EXPECT_NE(RunCommand(verify + (m_home.Path() / "other.txt").string() + "' 2>&1").status, 0);
}

TEST_F(Signing, SigningTimesFrom2050OnAreGeneralizedTimesThatAVerifierWeDidNotWriteAccepts) {
    AddToStore(MakeCert({.notAfterDays = 365 * 40}));
    const std::string text = "Pay 100 to Bob";
    WriteFile(m_home.Path() / "msg.txt", text);
    struct Moment {
        SYSTEMTIME at;
        int type;
        const char* encoded;
    };
    for (const Moment& m :
         {Moment{{2049, 12, 0, 31, 23, 59, 59, 999}, V_ASN1_UTCTIME, "491231235959Z"},
          Moment{{2050, 1, 0, 1, 0, 0, 0, 0}, V_ASN1_GENERALIZEDTIME, "20500101000000Z"}}) {
        SCOPED_TRACE(m.encoded);
        FILETIME ft{};
        ASSERT_TRUE(SystemTimeToFileTime(&m.at, &ft));
        platform::seams::ScopedClock clock(platform::win::FileTimeValue(ft));
        const Outcome out = Sign(text, 0);
        EXPECT_TRUE(out.boxes.empty());
        auto p7 = Decode(out.text);
        ASSERT_TRUE(p7);
        PKCS7_SIGNER_INFO* si = sk_PKCS7_SIGNER_INFO_value(p7->d.sign->signer_info, 0);
        ASN1_TYPE* when = PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime);
        ASSERT_NE(when, nullptr);
        EXPECT_EQ(when->type, m.type);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(when->value.asn1_string->data),
                              std::size_t(when->value.asn1_string->length)),
                  m.encoded);
        const auto der = DecodeBase64Text(out.text);
        WriteFile(m_home.Path() / "sig.der", std::string(der.begin(), der.end()));
        EXPECT_EQ(RunCommand("openssl cms -verify -binary -noverify -inform DER -in '" +
                             (m_home.Path() / "sig.der").string() + "' -content '" +
                             (m_home.Path() / "msg.txt").string() + "' -out /dev/null 2>&1")
                      .status,
                  0);
    }
}

TEST_F(Signing, AnEmptyTextIsSignedAsZeroBytesAndTwoSignaturesASecondApartDiffer) {
    AddToStore(MakeCert());
    const Outcome empty = Sign("", 0);
    ASSERT_FALSE(empty.text.empty());
    WriteFile(m_home.Path() / "sig.der", [&] {
        const auto der = DecodeBase64Text(empty.text);
        return std::string(der.begin(), der.end());
    }());
    WriteFile(m_home.Path() / "empty.txt", "");
    EXPECT_EQ(RunCommand("openssl cms -verify -binary -noverify -inform DER -in '" +
                         (m_home.Path() / "sig.der").string() + "' -content '" +
                         (m_home.Path() / "empty.txt").string() + "' -out /dev/null 2>&1")
                  .status,
              0);
    const Outcome a = Sign("same", 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    const Outcome b = Sign("same", 0);
    EXPECT_NE(a.text, b.text);
}

TEST_F(Signing, AProviderContainerThatDoesNotExistYetIsCreated) {
    std::filesystem::remove_all(m_home.Path());
    const Outcome out = Sign("text", 0);
    // The home is made by the second acquisition; the new store is empty.
    EXPECT_TRUE(std::filesystem::is_directory(m_home.Path()));
    EXPECT_EQ(std::filesystem::status(m_home.Path()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_all);
    EXPECT_THAT(out.calls[0], "CryptAcquireContextA 0");
    EXPECT_THAT(out.calls[1], "CryptAcquireContextA 8");
    EXPECT_THAT(out.boxes,
                ElementsAre("0 Signature Cert Not Found",
                            ::testing::StartsWith("16 Error Getting Ostrel Certificate")));
}

// Every failure path: the boxes in order with their styles, the clean-up in
// order, and the empty (never null) result. The fixture checks nothing is left.
struct FailureRow {
    const char* name;
    const char* function;  // the platform function made to fail
    DWORD code;
    int pass;
    std::vector<std::string> boxes;
    std::vector<std::string> releases;
    bool signs = false;  // a failure in the clean-up leaves the signature made
};

void PrintTo(const FailureRow& row, std::ostream* os) {
    *os << row.name;
}

class SigningFailures : public Signing, public ::testing::WithParamInterface<FailureRow> {};

const std::string kNotFound = "Cannot find object or property.\r\n";

TEST_P(SigningFailures, ShowTheirBoxesAndReleaseInOrder) {
    AddToStore(MakeCert());
    const FailureRow& row = GetParam();
    ScopedFault fault(row.function, row.code, row.pass);
    const Outcome out = Sign("text", 0);
    EXPECT_TRUE(fault.Fired());
    EXPECT_FALSE(out.isNull);
    EXPECT_EQ(out.text.empty(), !row.signs);
    EXPECT_EQ(out.boxes, row.boxes);
    EXPECT_EQ(out.releases, row.releases);
}

const std::vector<std::string> kFullCleanUp = {"free", "free", "CertFreeCertificateContext",
                                               "CertCloseStore 2", "CryptReleaseContext"};

INSTANTIATE_TEST_SUITE_P(
    Rows, SigningFailures,
    ::testing::Values(
        FailureRow{"store",
                   "CertOpenSystemStoreA",
                   ERROR_ACCESS_DENIED,
                   0,
                   {"16 Error Getting Store Handle" +
                    std::string("Access is denied. A store folder must have mode 0700 and its "
                                "files mode 0600, owned by the user.\r\n")},
                   {"CryptReleaseContext"}},
        FailureRow{
            "encoding",
            "CryptEncodeObject",
            CRYPT_E_BAD_ENCODE,
            1,
            {"16 Error in Calculating and Encoding timestamp" +
             std::string("An error occurred during encode or decode operation.\r\n")},
            {"free", "CertFreeCertificateContext", "CertCloseStore 2", "CryptReleaseContext"}},
        FailureRow{
            "size",
            "CryptSignMessage",
            NTE_BAD_KEY,
            0,
            {"16 Getting Signatue size Failed.Bad Key.\r\n"},
            {"free", "CertFreeCertificateContext", "CertCloseStore 2", "CryptReleaseContext"}},
        FailureRow{
            "allocation",
            "malloc",
            0,
            1,
            {"0 Memory allocation error while signing"},
            {"free", "CertFreeCertificateContext", "CertCloseStore 2", "CryptReleaseContext"}},
        FailureRow{"signature",
                   "CryptSignMessage",
                   NTE_BAD_SIGNATURE,
                   1,
                   {"16 Error Getting SignatureInvalid Signature.\r\n"},
                   kFullCleanUp},
        FailureRow{"close",
                   "CertCloseStore",
                   CRYPT_E_PENDING_CLOSE,
                   0,
                   {"0 Store Closed After Signing - \nNot All Certs or CRLs Were Freed"},
                   kFullCleanUp,
                   true},
        FailureRow{"release",
                   "CryptReleaseContext",
                   NTE_BAD_UID,
                   0,
                   {"0 Error during CryptReleaseContext!\nBut signing is done."},
                   kFullCleanUp,
                   true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Signing, BothAcquisitionsFailingShowTheSecondOnesError) {
    ScopedFault first("CryptAcquireContextA", NTE_BAD_KEYSET);
    ScopedFault second("CryptAcquireContextA", NTE_EXISTS, 1);
    const Outcome out = Sign("text", 0);
    EXPECT_THAT(out.boxes,
                ElementsAre("16 Acquire Crypt Context FailedObject already exists.\r\n"));
    EXPECT_EQ(out.text, "");
    EXPECT_FALSE(out.isNull);
}

TEST_F(Signing, AnIndexEqualToTheCountShowsNotFoundThenTheLookupFailure) {
    AddToStore(MakeCert({.serialHex = "01"}));
    AddToStore(MakeCert({.serialHex = "02"}));
    const Outcome out = Sign("text", 2);
    EXPECT_THAT(out.boxes, ElementsAre("0 Signature Cert Not Found",
                                       "16 Error Getting Ostrel Certificate" + kNotFound));
    EXPECT_EQ(out.text, "");
    EXPECT_FALSE(out.isNull);
    EXPECT_EQ(out.calls.back(), "CryptReleaseContext");
}

TEST_F(Signing, CertificatesOutsideTheirValidityAreRefusedBeforeSigning) {
    AddToStore(MakeCert({.notBeforeDays = -30, .notAfterDays = -1, .serialHex = "01"}));
    AddToStore(MakeCert({.notBeforeDays = 2, .notAfterDays = 30, .serialHex = "02"}));
    const Outcome expired = Sign("text", 0);
    EXPECT_THAT(expired.boxes, ElementsAre("16 Selected Certificate is Expired."));
    EXPECT_THAT(expired.releases, ElementsAre("CertFreeCertificateContext", "CertCloseStore 2",
                                              "CryptReleaseContext"));
    const Outcome early = Sign("text", 1);
    EXPECT_THAT(early.boxes, ElementsAre("16 Selected Certificate is not yet Valid."));
    for (const auto& calls : {expired.calls, early.calls})
        for (const auto& c : calls) EXPECT_FALSE(c.starts_with("CryptSignMessage")) << c;
    EXPECT_EQ(expired.text, "");
}

TEST_F(Signing, ACertificateWithoutItsKeyCannotSign) {
    AddToStore(MakeCert(), /*withKey=*/false);
    const Outcome out = Sign("text", 0);
    ASSERT_EQ(out.boxes.size(), 1u);
    EXPECT_THAT(out.boxes[0], ::testing::StartsWith(
                                  "16 Getting Signatue size Failed.Cannot find the private key"));
    EXPECT_EQ(out.text, "");
}

TEST_F(Signing, AFailedTimeConversionIsReportedAndNoSignatureGetsAMadeUpTime) {
    AddToStore(MakeCert());
    ScopedFault fault("SystemTimeToFileTime", ERROR_INVALID_PARAMETER);
    const Outcome out = Sign("text", 0);
    EXPECT_THAT(
        out.boxes,
        ElementsAre("0 Getting time function failed!",
                    "16 Error in Calculating and Encoding timestamp" +
                        std::string("An error occurred during encode or decode operation.\r\n")));
    EXPECT_EQ(out.text, "");
}

TEST_F(Signing, ANegativeIndexRunsTheChooserAndCancellingSignsNothing) {
    AddToStore(MakeCert());
    ::setenv("OSTREL_UI", "none", 1);
    const Outcome out = Sign("text", -7);
    EXPECT_THAT(out.boxes, ElementsAre("16 Certificate is not selected."));
    // The listing released its last context; the dialog goes after the store
    // and the provider.
    EXPECT_THAT(out.releases, ElementsAre("CertFreeCertificateContext", "CertCloseStore 2",
                                          "CryptReleaseContext", "CDialog::~CDialog 201"));
    EXPECT_EQ(out.text, "");
    EXPECT_FALSE(out.isNull);
}

TEST_F(Signing, ADamagedEntryFindsNothingAtItsPositionAndMovesNoOther) {
    AddToStore(MakeCert({.serialHex = "01"}));
    AddToStore(MakeCert({.serialHex = "02"}));
    const auto entries = platform::crypt::DiskStore::Open(m_home.StoreFolder(), false).EntryNames();
    WriteFile(m_home.StoreFolder() / entries[0], "garbage");
    const Outcome after = Sign("text", 1);
    EXPECT_TRUE(after.boxes.empty());
    const auto p7 = Decode(after.text);
    ASSERT_TRUE(p7);
    const auto* signer = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(p7.get()), 0);
    EXPECT_EQ(ASN1_INTEGER_get(signer->issuer_and_serial->serial), 2);
    const Outcome at = Sign("text", 0);
    ASSERT_EQ(at.boxes.size(), 2u);
    EXPECT_EQ(at.boxes[0], "0 Signature Cert Not Found");
    EXPECT_THAT(at.boxes[1], ::testing::HasSubstr("an entry of the certificate store is damaged"));
    EXPECT_EQ(at.text, "");
}

// A token key that wants its own login for every signature: one PIN for the
// first, the key's PIN again for the next, and a cancelled key login ends
// signing as a failed acquisition of the key does.
TEST_F(Signing, ATokenKeyWithItsOwnLoginAsksEachTimeAndCancellingShowsTheBoxes) {
    if (!SoftTokens::Available()) {
        GTEST_SKIP() << "SoftHSM2 or its tools are not installed";
    }
    const auto cert = MakeCert({.subject = "/CN=Card Signer", .serialHex = "0C"});
    Outcome first, cancelled, again;
    {
        SoftTokens tokens(m_home.Path());
        tokens.AddToken("Card");
        tokens.ImportKeyWithItsOwnLogin("Card", cert, "01");
        tokens.ImportCert("Card", cert, "01");
        m_before = LiveCounts::Now();
        ScriptedPins user({"1234"});
        {
            platform::seams::ScopedTokenPrompt prompt(&user);
            first = Sign("text", 0);
        }
        ScriptedPins cancelling({});
        {
            platform::seams::ScopedTokenPrompt prompt(&cancelling);
            cancelled = Sign("text", 0);
        }
        ScriptedPins typing({"1234"});
        {
            platform::seams::ScopedTokenPrompt prompt(&typing);
            again = Sign("text", 0);
        }
        EXPECT_EQ(user.requests.size(), 1u);
        ASSERT_EQ(cancelling.requests.size(), 1u);
        EXPECT_TRUE(cancelling.requests[0].keyOnly);
        EXPECT_EQ(typing.requests.size(), 1u);
    }
    EXPECT_TRUE(first.boxes.empty()) << first.boxes.front();
    EXPECT_TRUE(Decode(first.text));
    EXPECT_THAT(
        cancelled.boxes,
        ElementsAre("16 Error Getting SignatureThe operation was canceled by the user.\r\n"));
    EXPECT_EQ(cancelled.text, "");
    EXPECT_FALSE(cancelled.isNull);
    // Everything the signature held is released, as after any failed
    // signature.
    ASSERT_GE(cancelled.releases.size(), kFullCleanUp.size());
    EXPECT_TRUE(std::equal(kFullCleanUp.begin(), kFullCleanUp.end(),
                           cancelled.releases.end() - std::ptrdiff_t(kFullCleanUp.size())));
    EXPECT_TRUE(again.boxes.empty());
    EXPECT_TRUE(Decode(again.text));
}

}  // namespace
