#include <gtest/gtest.h>

#include <cstring>

#include "platform/crypt/WinCrypt.h"
#include "platform/text/Utf.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"
#include "tests/platform/crypt/SignedMessages.h"
#include "tests/support/TestSupport.h"

namespace ostrel::test {
namespace {

constexpr char kCN[] = "2.5.4.3";
constexpr char kO[] = "2.5.4.10";
constexpr char kOU[] = "2.5.4.11";
constexpr unsigned char kUtf8 = 0x0C, kPrintable = 0x13, kT61 = 0x14, kIA5 = 0x16,
                        kUniversal = 0x1C, kBmp = 0x1E;

struct Converted {
    std::string text;
    DWORD returned;
};

Converted ToStr(const Bytes& der, DWORD type = CERT_X500_NAME_STR, DWORD room = 300) {
    CERT_NAME_BLOB blob{DWORD(der.size()), const_cast<BYTE*>(der.data())};
    std::string area(room + 16, '\x7F');  // bytes past the room show any overrun
    const DWORD n = CertNameToStrA(X509_ASN_ENCODING, &blob, type, area.data(), room);
    for (std::size_t i = room; i < area.size(); ++i) EXPECT_EQ(area[i], '\x7F') << "overrun";
    return {std::string(area.c_str()), n};
}

std::string X500(const Bytes& der) {
    const Converted c = ToStr(der);
    EXPECT_EQ(c.returned, c.text.size() + 1);
    return c.text;
}

Bytes Utf16Be(const std::u16string& s) {
    Bytes out;
    for (char16_t c : s) {
        out.push_back(static_cast<unsigned char>(c >> 8));
        out.push_back(static_cast<unsigned char>(c));
    }
    return out;
}

Bytes Ucs4(const std::u32string& s) {
    Bytes out;
    for (char32_t c : s)
        for (int shift = 24; shift >= 0; shift -= 8)
            out.push_back(static_cast<unsigned char>(c >> shift));
    return out;
}

TEST(NameToStr, KeysInEncodedOrderAndOidsForTheRest) {
    // Every attribute type with a key name, then two without one.
    const char* const oids[] = {
        "2.5.4.3",
        "2.5.4.7",
        "2.5.4.10",
        "2.5.4.11",
        "1.2.840.113549.1.9.1",
        "2.5.4.6",
        "2.5.4.8",
        "2.5.4.9",
        "2.5.4.12",
        "2.5.4.42",
        "2.5.4.43",
        "2.5.4.4",
        "0.9.2342.19200300.100.1.25",
        "2.5.4.5",
        "2.5.4.13",
        "2.5.4.17",
        "2.5.4.18",
        "2.5.4.20",
        "2.5.4.24",
        "2.5.4.46",
        "1.3.6.1.4.1.311.60.2.1.3",
        "2.5.4.65",
    };
    Bytes rdns;
    for (const char* oid : oids) {
        const Bytes rdn = Rdn({Atv(oid, kPrintable, Text("v"))});
        rdns.insert(rdns.end(), rdn.begin(), rdn.end());
    }
    EXPECT_EQ(X500(Tlv(0x30, rdns)),
              "CN=v, L=v, O=v, OU=v, E=v, C=v, S=v, STREET=v, T=v, G=v, I=v, SN=v, DC=v, "
              "SERIALNUMBER=v, Description=v, PostalCode=v, POBox=v, Phone=v, X21Address=v, "
              "dnQualifier=v, OID.1.3.6.1.4.1.311.60.2.1.3=v, OID.2.5.4.65=v");

    const Bytes name = Name({Rdn({Atv("2.5.4.6", kPrintable, Text("US"))}),
                             Rdn({Atv(kCN, kUtf8, Text("Ann")), Atv("1.2.3.4", kIA5, Text("x"))})});
    EXPECT_EQ(X500(name), "C=US, CN=Ann + OID.1.2.3.4=x");
    EXPECT_EQ(ToStr(name, CERT_OID_NAME_STR).text, "2.5.4.6=US, 2.5.4.3=Ann + 1.2.3.4=x");
    EXPECT_EQ(ToStr(name, CERT_SIMPLE_NAME_STR).text, "US, Ann + x");
    EXPECT_EQ(X500(Name({})), "");
}

TEST(NameToStr, CertificateNameAsOpenSslEncodesIt) {
    const TestCert cert = MakeCert();
    const Bytes der =
        platform::crypt::ossl::ToDer(X509_get_subject_name(cert.cert.get()), i2d_X509_NAME);
    EXPECT_EQ(X500(der), "C=US, O=Org, CN=Ann Lee, E=ann.lee@example.org");
}

TEST(NameToStr, MultiValuedNamesKeepTheirEncodedOrder) {
    // Not in DER set order on purpose: the text follows the encoding.
    const Bytes name = Name({Rdn({Atv(kOU, kUtf8, Text("Sales")), Atv(kCN, kUtf8, Text("Bo")),
                                  Atv(kO, kUtf8, Text("Org"))})});
    EXPECT_EQ(X500(name), "OU=Sales + CN=Bo + O=Org");
}

TEST(NameToStr, ValuesAreQuotedWhereTheRulesSay) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain value", "plain value"},
        {"", "\"\""},
        {" lead", "\" lead\""},
        {"trail ", "\"trail \""},
        {"\ttab", "\"\ttab\""},
        {"a,b", "\"a,b\""},
        {"a+b", "\"a+b\""},
        {"a=b", "\"a=b\""},
        {"a\nb", "\"a\nb\""},
        {"a<b", "\"a<b\""},
        {"a>b", "\"a>b\""},
        {"#a", "\"#a\""},
        {"a;b", "\"a;b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"a'b(c)/d\\e", "a'b(c)/d\\e"},
        {"Zoë", "Zoë"},
    };
    for (const auto& [value, shown] : cases) {
        SCOPED_TRACE(value);
        EXPECT_EQ(X500(Name({Rdn({Atv(kCN, kUtf8, Text(value))})})), "CN=" + shown);
    }
}

TEST(NameToStr, EveryStringTypeBecomesUtf8) {
    const std::string expected = "Zoë Ωμέγα 中文 😀";
    const std::u16string utf16 = u"Zoë Ωμέγα 中文 😀";
    const std::u32string utf32 = U"Zoë Ωμέγα 中文 😀";
    EXPECT_EQ(X500(Name({Rdn({Atv(kCN, kUtf8, Text(expected))})})), "CN=" + expected);
    EXPECT_EQ(X500(Name({Rdn({Atv(kCN, kBmp, Utf16Be(utf16))})})), "CN=" + expected);
    EXPECT_EQ(X500(Name({Rdn({Atv(kCN, kUniversal, Ucs4(utf32))})})), "CN=" + expected);
    // Eight-bit strings: Latin-1, unless they hold well-formed UTF-8.
    EXPECT_EQ(X500(Name({Rdn({Atv(kCN, kT61, Bytes{'Z', 'o', 0xEB})})})), "CN=Zoë");
    EXPECT_EQ(X500(Name({Rdn({Atv(kCN, kT61, Text(expected))})})), "CN=" + expected);
    EXPECT_EQ(X500(Name({Rdn({Atv(kCN, kIA5, Text("a@b.example"))})})), "CN=a@b.example");
}

TEST(NameToStr, ValuesThatAreNoTextAreShownByTheirEncoding) {
    // Whole encoding for anything but an octet string, whose content is shown.
    EXPECT_EQ(X500(Name({Rdn({AtvEncoded(kCN, Tlv(0x02, {0x01, 0xAB}))})})), "CN=#020201AB");
    EXPECT_EQ(X500(Name({Rdn({AtvEncoded("1.2.3", Tlv(0x04, {0xAB, 0xCD}))})})), "OID.1.2.3=#ABCD");
    EXPECT_EQ(X500(Name({Rdn({AtvEncoded(kCN, Tlv(0x30, Tlv(0x01, {0xFF})))})})), "CN=#30030101FF");
    // Strings that cannot be read as text: a BMP string of odd length, a lone
    // surrogate, UTF-8 that is not, and a NUL that would hide the rest.
    EXPECT_EQ(X500(Name({Rdn({Atv(kCN, kBmp, {0x00, 0x41, 0x00})})})), "CN=#1E03004100");
    EXPECT_EQ(X500(Name({Rdn({Atv(kCN, kBmp, {0xD8, 0x00})})})), "CN=#1E02D800");
    EXPECT_EQ(X500(Name({Rdn({Atv(kCN, kUtf8, {0xC3, 0x28})})})), "CN=#0C02C328");
    EXPECT_EQ(X500(Name({Rdn({Atv(kCN, kUtf8, {'a', 0x00, 'b'})})})), "CN=#0C03610062");
}

TEST(NameToStr, LongNamesAreCutOnACharacterBoundary) {
    std::string value = "x";
    for (int i = 0; i < 400; ++i) value += "é";
    const Bytes name = Name({Rdn({Atv(kCN, kUtf8, Text(value))})});
    const std::string whole = "CN=" + value;

    // Size query: the room the whole text needs, with its terminator.
    CERT_NAME_BLOB blob{DWORD(name.size()), const_cast<BYTE*>(name.data())};
    EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, nullptr, 0),
              whole.size() + 1);
    char one[1] = {'z'};
    EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, &blob, CERT_X500_NAME_STR, one, 0),
              whole.size() + 1);
    EXPECT_EQ(one[0], 'z');

    // 299 bytes would split an "é": the cut keeps 298.
    const Converted cut = ToStr(name);
    EXPECT_EQ(cut.text.size(), 298u);
    EXPECT_EQ(cut.returned, 299u);
    EXPECT_EQ(cut.text, whole.substr(0, 298));
    EXPECT_TRUE(platform::com::IsValidUtf8(cut.text));
    const Converted fits = ToStr(name, CERT_X500_NAME_STR, 301);
    EXPECT_EQ(fits.text.size(), 300u);
    EXPECT_EQ(ToStr(name, CERT_X500_NAME_STR, 1).text, "");
}

TEST(NameToStr, BadInputLeavesAnEmptyTextAndAnError) {
    const Bytes good = Name({Rdn({Atv(kCN, kUtf8, Text("Ann"))})});
    const auto failure = [](const Bytes& der, DWORD encoding = X509_ASN_ENCODING,
                            DWORD type = CERT_X500_NAME_STR) {
        CERT_NAME_BLOB blob{DWORD(der.size()), const_cast<BYTE*>(der.data())};
        char area[300];
        std::memset(area, 'q', sizeof area);
        SetLastError(0);
        EXPECT_EQ(CertNameToStrA(encoding, &blob, type, area, sizeof area), 1u);
        EXPECT_EQ(area[0], '\0');
        return GetLastError();
    };
    EXPECT_EQ(failure({}), CRYPT_E_ASN1_EOD);
    EXPECT_EQ(failure(Bytes(good.begin(), good.end() - 1)), CRYPT_E_ASN1_EOD);
    EXPECT_EQ(failure(Text("garbage!")), CRYPT_E_ASN1_BADTAG);
    Bytes trailing = good;
    trailing.push_back(0);
    EXPECT_EQ(failure(trailing), CRYPT_E_ASN1_CORRUPT);
    // RDNs must be sets, attributes pairs of a type and a value.
    EXPECT_EQ(failure(Tlv(0x30, Tlv(0x30, Atv(kCN, kUtf8, Text("a"))))), CRYPT_E_ASN1_BADTAG);
    EXPECT_EQ(failure(Name({Rdn({Tlv(0x30, Oid(kCN))})})), CRYPT_E_ASN1_CORRUPT);
    EXPECT_EQ(failure(Name({Rdn({Tlv(0x30, Join({Tlv(0x0C, Text("a")), Tlv(0x0C, Text("b"))}))})})),
              CRYPT_E_ASN1_BADTAG);

    EXPECT_EQ(failure(good, PKCS_7_ASN_ENCODING), E_INVALIDARG);
    EXPECT_EQ(failure(good, X509_ASN_ENCODING, 0), E_INVALIDARG);
    EXPECT_EQ(failure(good, X509_ASN_ENCODING, CERT_X500_NAME_STR | 0x40000000), E_INVALIDARG);
    {
        platform::seams::ScopedFault fault("CertNameToStrA", NTE_FAIL);
        EXPECT_EQ(failure(good), NTE_FAIL);
    }
    EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING, nullptr, CERT_X500_NAME_STR, nullptr, 0), 1u);
    EXPECT_EQ(GetLastError(), E_INVALIDARG);
    // Both encoding types together, as signing code passes them, are fine.
    EXPECT_EQ(ToStr(good, CERT_X500_NAME_STR).text, "CN=Ann");
    CERT_NAME_BLOB blob{DWORD(good.size()), const_cast<BYTE*>(good.data())};
    char area[16];
    EXPECT_EQ(CertNameToStrA(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, &blob, CERT_X500_NAME_STR,
                             area, sizeof area),
              7u);
}

}  // namespace
}  // namespace ostrel::test
