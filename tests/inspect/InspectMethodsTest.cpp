#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/Messages.h"
#include "control/OstrelCtrl.h"
#include "platform/text/Bstr.h"
#include "platform/win/WinError.h"
#include "tests/platform/crypt/SignedMessages.h"
#include "tests/support/TestSupport.h"

namespace ostrel::test {
namespace {

using platform::com::Bstr;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string kContent = "Pay Ann Lee 100 crowns.";
const std::string kBox = std::string("AfxMessageBox 0 ") + msg::kHexExpected.text;

// Every call of every test leaves nothing alive behind it.
class Inspect : public ::testing::Test {
protected:
    void SetUp() override { m_before = LiveCounts::Now(); }
    void TearDown() override { EXPECT_EQ(LiveCounts::Now(), m_before); }

    struct Result {
        BOOL verified;
        Bstr subject, serial;
        std::vector<std::string> events;  // of the three calls together
    };

    // The three methods on one text.
    Result All(const char* text) {
        platform::seams::ScopedTrace trace;
        COstrelCtrl control;
        Result r{control.VerifyMessage(text),
                 Bstr(control.GetSubjectName(text)),
                 Bstr(control.GetSerialNumber(text)),
                 {}};
        r.events = trace.Filtered({"AfxMessageBox", "CryptVerifyMessageSignature"});
        return r;
    }
    Result All(const std::string& text) { return All(text.c_str()); }

    static std::vector<std::string> Verifications(int n) {
        return std::vector<std::string>(std::size_t(n), "CryptVerifyMessageSignature");
    }

    LiveCounts m_before{};
};

TEST_F(Inspect, SignedMessageVerifiesAndNamesItsSigner) {
    const TestCert cert = MakeCert();
    const Bytes message = SignCms(kContent, {{&cert, EVP_md5()}});
    for (bool lower : {false, true}) {
        const Result r = All(Hex(message, lower));
        EXPECT_TRUE(r.verified);
        EXPECT_EQ(r.subject.Utf8(), "C=US, O=Org, CN=Ann Lee, E=ann.lee@example.org");
        EXPECT_EQ(r.serial.Utf8(), "CDAB2301");
        EXPECT_EQ(r.events, Verifications(3));
    }
}

// A signer whose certificate OpenSSL will not read (a value in its name that
// is no string) is verified and named all the same.
TEST_F(Inspect, SignerWhoseCertificateOpenSslRefusesIsVerifiedAndNamed) {
    const TestCert rsa = MakeCert();
    const Bytes issuer = Name({Rdn({Atv("2.5.4.3", 0x13, Text("Issuer"))})});
    const Bytes subject = Name({Rdn({Atv("2.5.4.3", 0x1A, Text("Ann Lee"))}),
                                Rdn({Atv("1.3.6.1.4.1.99999.7", 0x02, {0x2A})})});
    const Bytes cert = HandCert(rsa.key.get(), issuer, subject, {0x0A, 0x0B});
    const Bytes message = HandSigned(cert, rsa.key.get(), issuer, {0x0A, 0x0B}, kContent);
    const Result r = All(Hex(message));
    EXPECT_TRUE(r.verified);
    EXPECT_EQ(r.subject.Utf8(), "CN=Ann Lee, OID.1.3.6.1.4.1.99999.7=#02012A");
    EXPECT_EQ(r.serial.Utf8(), "0B0A");
}

TEST_F(Inspect, DetailsFollowTheCallOrderAndReleaseTheSigner) {
    const TestCert cert = MakeCert();
    const std::string hex = Hex(SignCms(kContent, {{&cert}}));
    platform::seams::ScopedTrace trace;
    COstrelCtrl control;
    Bstr subject(control.GetSubjectName(hex.c_str()));
    EXPECT_THAT(trace.Filtered({"malloc", "free", "Crypt", "Cert"}),
                ElementsAre("malloc", "CryptVerifyMessageSignature", "free", "CertNameToStrA",
                            "CertFreeCertificateContext"));
}

TEST_F(Inspect, OnlyTheFirstSignatureCounts) {
    CertOptions firstSpec;
    firstSpec.subject = "/CN=First";
    firstSpec.serialHex = "11";
    CertOptions secondSpec;
    secondSpec.subject = "/CN=Second";
    secondSpec.serialHex = "22";
    secondSpec.ec = true;
    const TestCert first = MakeCert(firstSpec), second = MakeCert(secondSpec);
    const Bytes message = SignCms(kContent, {{&first}, {&second}});
    // The first signature is the first in the encoding (signer infos are
    // written in sorted order).
    const int a = SignerPosition(message, first);
    const bool firstIsFirst = a == 0;
    Result r = All(Hex(message));
    EXPECT_TRUE(r.verified);
    EXPECT_EQ(r.subject.Utf8(), firstIsFirst ? "CN=First" : "CN=Second");
    EXPECT_EQ(r.serial.Utf8(), firstIsFirst ? "11" : "22");

    // A broken second signature changes nothing; a broken first one fails all.
    EXPECT_TRUE(All(Hex(Flipped(message, SignatureOf(message, 1), 5))).verified);
    r = All(Hex(Flipped(message, SignatureOf(message, 0), 5)));
    EXPECT_FALSE(r.verified);
    EXPECT_EQ(r.subject.Utf8(), "");
}

TEST_F(Inspect, SerialNumberIsLeastSignificantByteFirstWithTwoDigitsPerByte) {
    const struct {
        std::string serial, text;
    } cases[] = {
        {"0123ABCD", "CDAB2301"},
        {"0A", "0A"},
        {"0A0B00", "000B0A"},
        // The sign octet of the encoding is part of the number.
        {"80", "8000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.serial);
        CertOptions options;
        options.serialHex = c.serial;
        const TestCert cert = MakeCert(options);
        EXPECT_EQ(All(Hex(SignCms(kContent, {{&cert}}))).serial.Utf8(), c.text);
    }
}

TEST_F(Inspect, LongSerialNumbersAreReturnedWhole) {
    for (std::size_t bytes : {std::size_t(250), std::size_t(300)}) {
        SCOPED_TRACE(bytes);
        CertOptions options;
        options.serialHex = "01" + std::string(2 * (bytes - 1), '7');
        const TestCert cert = MakeCert(options);
        const std::string serial = All(Hex(SignCms(kContent, {{&cert}}))).serial.Utf8();
        EXPECT_EQ(serial.size(), 2 * bytes);
        EXPECT_EQ(serial.substr(serial.size() - 2), "01");
    }
}

TEST_F(Inspect, SubjectTextStopsAt299Characters) {
    CertOptions options;
    options.subject = "/O=" + std::string(60, 'o') + "/CN=" + std::string(60, 'c');
    for (int i = 0; i < 4; ++i) options.subject += "/OU=" + std::string(60, char('a' + i));
    const TestCert cert = MakeCert(options);
    const std::string subject = All(Hex(SignCms(kContent, {{&cert}}))).subject.Utf8();
    EXPECT_EQ(subject.size(), 299u);
    EXPECT_EQ(subject.substr(0, 68), "O=" + std::string(60, 'o') + ", CN=c");
}

TEST_F(Inspect, OddLengthShowsOneBoxAndReturnsTheNullString) {
    for (const char* text : {"A", "ABC", "3082012"}) {
        SCOPED_TRACE(text);
        const Result r = All(text);
        EXPECT_FALSE(r.verified);
        EXPECT_TRUE(r.subject.IsNull());
        EXPECT_TRUE(r.serial.IsNull());
        // One box per call, no verification at all.
        EXPECT_EQ(r.events, std::vector<std::string>(3, kBox));
    }
}

TEST_F(Inspect, FailedVerificationIsQuietAndReturnsTheEmptyString) {
    const TestCert cert = MakeCert();
    const Bytes message = SignCms(kContent, {{&cert}});
    const std::string cases[] = {
        "",
        "zzzz",
        "00",
        Hex(message).substr(0, Hex(message).size() - 2),
        Hex(Flipped(message, Text(kContent), 0)),
        Hex(Flipped(message, SignatureOf(message), 0)),
        Hex(SignCms(kContent, {{&cert}}, CMS_DETACHED)),
        Hex(SignCms(kContent, {{&cert, EVP_sha256(), false, CMS_NOCERTS}})),
        // Separators shift the pairing, so spaced hexadecimal is no message.
        [&] {
            std::string spaced;
            for (unsigned char b : message) spaced += Hex(Bytes{b}) + " ";
            return spaced.substr(0, spaced.size() - 1) + " ";
        }(),
    };
    for (const auto& text : cases) {
        SCOPED_TRACE(text.substr(0, 40));
        const Result r = All(text);
        EXPECT_FALSE(r.verified);
        ASSERT_FALSE(r.subject.IsNull());
        ASSERT_FALSE(r.serial.IsNull());
        EXPECT_EQ(r.subject.View().size(), 0u);
        EXPECT_EQ(r.serial.View().size(), 0u);
        EXPECT_EQ(r.events, Verifications(3));
    }
}

TEST_F(Inspect, AbsentTextIsTheEmptyText) {
    const Result r = All(static_cast<const char*>(nullptr));
    EXPECT_FALSE(r.verified);
    ASSERT_FALSE(r.subject.IsNull());
    EXPECT_EQ(r.subject.View().size(), 0u);
    ASSERT_FALSE(r.serial.IsNull());
    EXPECT_EQ(r.events, Verifications(3));
}

TEST_F(Inspect, NoRoomForTheDecodedMessageIsAQuietFailure) {
    const TestCert cert = MakeCert();
    const std::string hex = Hex(SignCms(kContent, {{&cert}}));
    COstrelCtrl control;
    platform::seams::ScopedTrace trace;
    {
        platform::seams::ScopedFault fault("malloc", E_OUTOFMEMORY);
        EXPECT_FALSE(control.VerifyMessage(hex.c_str()));
    }
    {
        platform::seams::ScopedFault fault("malloc", E_OUTOFMEMORY);
        Bstr subject(control.GetSubjectName(hex.c_str()));
        ASSERT_FALSE(subject.IsNull());
        EXPECT_EQ(subject.Utf8(), "");
    }
    {
        platform::seams::ScopedFault fault("malloc", E_OUTOFMEMORY);
        Bstr serial(control.GetSerialNumber(hex.c_str()));
        ASSERT_FALSE(serial.IsNull());
        EXPECT_EQ(serial.Utf8(), "");
    }
    EXPECT_THAT(trace.Filtered({"AfxMessageBox", "CryptVerifyMessageSignature"}), IsEmpty());
}

TEST_F(Inspect, SubjectConversionThatWritesNothingGivesTheEmptyString) {
    const TestCert cert = MakeCert();
    const std::string hex = Hex(SignCms(kContent, {{&cert}}));
    COstrelCtrl control;
    platform::seams::ScopedFault fault("CertNameToStrA", NTE_FAIL);
    Bstr subject(control.GetSubjectName(hex.c_str()));
    EXPECT_TRUE(fault.Fired());
    ASSERT_FALSE(subject.IsNull());
    EXPECT_EQ(subject.Utf8(), "");
}

}  // namespace
}  // namespace ostrel::test
