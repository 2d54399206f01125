#include <gtest/gtest.h>

#include <openssl/x509v3.h>

#include "platform/crypt/CertCache.h"
#include "platform/crypt/CertFields.h"
#include "platform/crypt/Certificate.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"
#include "tests/platform/crypt/SignedMessages.h"
#include "tests/support/TestSupport.h"

namespace ostrel::test {
namespace {

using platform::crypt::CertFields;
using platform::crypt::Certificate;
using platform::crypt::ReadCertFields;
namespace ossl = platform::crypt::ossl;

Bytes Of(platform::crypt::der::Bytes b) {
    return Bytes(b.begin(), b.end());
}
Bytes Of(const CRYPTOAPI_BLOB& b) {
    return Bytes(b.pbData, b.pbData + b.cbData);
}

// The certificate with another subject (and issuer, as it is self-signed),
// signed again.
TestCert Renamed(TestCert cert, X509_NAME* name) {
    X509_set_subject_name(cert.cert.get(), name);
    X509_set_issuer_name(cert.cert.get(), name);
    X509_sign(cert.cert.get(), cert.key.get(), EVP_sha256());
    return cert;
}

void Add(X509_NAME* name, const char* oid, int type, const Bytes& value, int set = 0) {
    ossl::Asn1ObjectPtr obj(OBJ_txt2obj(oid, 1));
    ASSERT_EQ(
        X509_NAME_add_entry_by_OBJ(name, obj.get(), type, value.data(), int(value.size()), -1, set),
        1);
}

// What our reader makes of a certificate OpenSSL reads is what OpenSSL makes
// of it, field by field and byte for byte.
void ExpectSameAsOpenSsl(const Bytes& der) {
    const unsigned char* p = der.data();
    ossl::X509Ptr x(d2i_X509(nullptr, &p, long(der.size())));
    ASSERT_TRUE(x) << "OpenSSL refuses the certificate";
    CertFields f;
    ASSERT_EQ(ReadCertFields(der, f), ERROR_SUCCESS);
    EXPECT_EQ(Of(f.publicKeyInfo), ossl::ToDer(X509_get_X509_PUBKEY(x.get()), i2d_X509_PUBKEY));
    const ASN1_OCTET_STRING* keyId = X509_get0_subject_key_id(x.get());
    EXPECT_EQ(Of(f.subjectKeyId),
              keyId == nullptr ? Bytes{} : Bytes(keyId->data, keyId->data + keyId->length));
    EXPECT_EQ(Of(f.tbs), ossl::ToDer(x.get(), i2d_re_X509_tbs));

    const auto mine = Certificate::FromDer(der);
    const auto theirs = Certificate::FromX509(x.get());
    ASSERT_TRUE(mine);
    ASSERT_TRUE(theirs);
    const CERT_INFO& a = *mine->Info();
    const CERT_INFO& b = *theirs->Info();
    EXPECT_EQ(a.dwVersion, b.dwVersion);
    EXPECT_EQ(Of(a.SerialNumber), Of(b.SerialNumber));
    EXPECT_STREQ(a.SignatureAlgorithm.pszObjId, b.SignatureAlgorithm.pszObjId);
    EXPECT_EQ(Of(a.SignatureAlgorithm.Parameters), Of(b.SignatureAlgorithm.Parameters));
    EXPECT_EQ(Of(a.Issuer), Of(b.Issuer));
    EXPECT_EQ(Of(a.Subject), Of(b.Subject));
    EXPECT_EQ(a.NotBefore.dwLowDateTime, b.NotBefore.dwLowDateTime);
    EXPECT_EQ(a.NotBefore.dwHighDateTime, b.NotBefore.dwHighDateTime);
    EXPECT_EQ(a.NotAfter.dwLowDateTime, b.NotAfter.dwLowDateTime);
    EXPECT_EQ(a.NotAfter.dwHighDateTime, b.NotAfter.dwHighDateTime);
    EXPECT_STREQ(a.SubjectPublicKeyInfo.Algorithm.pszObjId,
                 b.SubjectPublicKeyInfo.Algorithm.pszObjId);
    EXPECT_EQ(Of(a.SubjectPublicKeyInfo.Algorithm.Parameters),
              Of(b.SubjectPublicKeyInfo.Algorithm.Parameters));
    EXPECT_EQ(
        Bytes(a.SubjectPublicKeyInfo.PublicKey.pbData,
              a.SubjectPublicKeyInfo.PublicKey.pbData + a.SubjectPublicKeyInfo.PublicKey.cbData),
        Bytes(b.SubjectPublicKeyInfo.PublicKey.pbData,
              b.SubjectPublicKeyInfo.PublicKey.pbData + b.SubjectPublicKeyInfo.PublicKey.cbData));
    ASSERT_EQ(a.cExtension, b.cExtension);
    for (DWORD i = 0; i < a.cExtension; ++i) {
        EXPECT_STREQ(a.rgExtension[i].pszObjId, b.rgExtension[i].pszObjId);
        EXPECT_EQ(a.rgExtension[i].fCritical, b.rgExtension[i].fCritical);
        EXPECT_EQ(Of(a.rgExtension[i].Value), Of(b.rgExtension[i].Value));
    }
    EXPECT_EQ(mine->Der(), der);
    // The certificate read by our reader still gives OpenSSL's form to those who need it.
    ASSERT_NE(mine->X509Cert(), nullptr);
    EXPECT_EQ(X509_cmp(mine->X509Cert(), x.get()), 0);
}

std::vector<std::pair<std::string, TestCert>> CertificatesOpenSslAccepts() {
    std::vector<std::pair<std::string, TestCert>> out;
    out.emplace_back("default rsa", MakeCert());
    CertOptions ec;
    ec.ec = true;
    ec.subject = "/CN=Elliptic/O=Curves";
    out.emplace_back("ec", MakeCert(ec));
    CertOptions odd;
    odd.serialHex = "00FFEEDDCCBBAA99887766554433221100112233";
    odd.notBeforeDays = -20000;
    odd.notAfterDays = 40000;  // past 2049: a GeneralizedTime
    out.emplace_back("long serial, wide validity", MakeCert(odd));
    CertOptions negative;
    negative.serialHex = "-05";
    out.emplace_back("negative serial", MakeCert(negative));
    out.emplace_back("subject key identifier", WithKeyIdentifier(MakeCert()));
    {
        CertOptions issued;
        issued.issuer = "/C=DE/O=Issuer of Many/CN=Root";
        out.emplace_back("other issuer", MakeCert(issued));
    }
    {
        ossl::X509NamePtr name(X509_NAME_new());
        Add(name.get(), "2.5.4.3", V_ASN1_UTF8STRING, Text(std::string(250, 'x') + "\xC3\xA9"));
        out.emplace_back("long name", Renamed(MakeCert(), name.get()));
    }
    {
        ossl::X509NamePtr name(X509_NAME_new());
        for (int i = 0; i < 40; ++i)
            Add(name.get(), "2.5.4.11", MBSTRING_ASC, Text("Unit " + std::to_string(i)));
        Add(name.get(), "2.5.4.3", MBSTRING_ASC, Text("Ann"));
        Add(name.get(), "0.9.2342.19200300.100.1.1", MBSTRING_ASC, Text("ann"), 1);
        out.emplace_back("many and multi-valued RDNs", Renamed(MakeCert(), name.get()));
    }
    {
        // Every string type OpenSSL takes in a name.
        ossl::X509NamePtr name(X509_NAME_new());
        Add(name.get(), "2.5.4.6", V_ASN1_PRINTABLESTRING, Text("NZ"));
        Add(name.get(), "2.5.4.10", V_ASN1_UTF8STRING, Text("K\xC5\x8Dwhai"));
        Add(name.get(), "1.2.840.113549.1.9.1", V_ASN1_IA5STRING, Text("a@example.org"));
        Add(name.get(), "2.5.4.7", V_ASN1_T61STRING, Text("Z\xFCrich"));
        Add(name.get(), "2.5.4.8", V_ASN1_BMPSTRING, Bytes{0x00, 'B', 0x04, 0x10});
        Add(name.get(), "2.5.4.9", V_ASN1_UNIVERSALSTRING, Bytes{0, 0, 0, 'U', 0, 1, 0xF6, 0x00});
        Add(name.get(), "2.5.4.5", V_ASN1_NUMERICSTRING, Text("12 34"));
        Add(name.get(), "2.5.4.3", MBSTRING_UTF8, Text("\xE6\x9D\x8E \xE5\xB0\x8F"));
        out.emplace_back("every string type", Renamed(MakeCert(), name.get()));
    }
    {
        TestCert v1 = MakeCert();
        X509_set_version(v1.cert.get(), 0);
        X509_sign(v1.cert.get(), v1.key.get(), EVP_sha256());
        out.emplace_back("version 1", std::move(v1));
    }
    return out;
}

TEST(CertFields, EveryCertificateOpenSslReadsGivesTheSameFields) {
    for (const auto& [what, cert] : CertificatesOpenSslAccepts()) {
        SCOPED_TRACE(what);
        ExpectSameAsOpenSsl(cert.Der());
    }
    // And a certificate put together by hand that OpenSSL reads too.
    const TestCert rsa = MakeCert();
    const Bytes name = Name({Rdn({Atv("2.5.4.3", 0x13, Text("Hand Made"))})});
    ExpectSameAsOpenSsl(HandCert(
        rsa.key.get(), name, name, {0x7F},
        {Tlv(0x30, Join({Oid("2.5.29.19"), Tlv(0x01, {0xFF}), Tlv(0x04, Tlv(0x30, {}))}))}));
}

std::string SubjectText(const Certificate& cert) {
    CERT_INFO* info = cert.Info();
    char text[1024];
    CertNameToStrA(X509_ASN_ENCODING, &info->Subject, CERT_X500_NAME_STR, text, sizeof text);
    return text;
}

// Names OpenSSL will not read: values that are no strings, string types it
// does not take in names, and strings whose octets are not what their type
// allows. Each comes with the text the platform makes of it.
struct RefusedName {
    const char* what;
    Bytes atv;
    const char* text;
};

std::vector<RefusedName> NamesOpenSslRefuses() {
    const char* other = "1.3.6.1.4.1.99999.7";
    return {
        {"integer", Atv(other, 0x02, {0x01, 0x00}), "OID.1.3.6.1.4.1.99999.7=#02020100"},
        {"octet string", Atv(other, 0x04, {0xCA, 0xFE}), "OID.1.3.6.1.4.1.99999.7=#CAFE"},
        {"boolean", Atv(other, 0x01, {0xFF}), "OID.1.3.6.1.4.1.99999.7=#0101FF"},
        {"null", Atv(other, 0x05, {}), "OID.1.3.6.1.4.1.99999.7=#0500"},
        {"object identifier", AtvEncoded(other, Oid("2.5.4.3")),
         "OID.1.3.6.1.4.1.99999.7=#0603550403"},
        {"time", Atv(other, 0x17, Text("250101000000Z")),
         "OID.1.3.6.1.4.1.99999.7=#170D3235303130313030303030305A"},
        {"set", Atv(other, 0x31, Tlv(0x02, {7})), "OID.1.3.6.1.4.1.99999.7=#3103020107"},
        {"visible string", Atv("2.5.4.3", 0x1A, Text("Visible Ann")), "CN=Visible Ann"},
        {"general string", Atv("2.5.4.10", 0x1B, Text("General Org")), "O=General Org"},
        {"graphic string", Atv("2.5.4.11", 0x19, Text("Graphic Unit")), "OU=Graphic Unit"},
        {"videotex string", Atv("2.5.4.7", 0x15, Text("Z\xFCrich")), "L=Z\xC3\xBCrich"},
        {"bmp string of odd length", Atv("2.5.4.3", 0x1E, {0x00, 'A', 0x00}), "CN=#1E03004100"},
        {"utf8 string that is not UTF-8", Atv("2.5.4.3", 0x0C, {'A', 0xFF}), "CN=#0C0241FF"},
        {"universal string of odd length", Atv("2.5.4.3", 0x1C, {0, 0, 0}), "CN=#1C03000000"},
    };
}

TEST(CertFields, NamesOpenSslRefusesAreReadAndShown) {
    const TestCert rsa = MakeCert();
    const Bytes issuer = Name({Rdn({Atv("2.5.4.3", 0x13, Text("Issuer"))})});
    for (const auto& n : NamesOpenSslRefuses()) {
        SCOPED_TRACE(n.what);
        const Bytes subject = Name({Rdn({Atv("2.5.4.6", 0x13, Text("NZ"))}), Rdn({n.atv})});
        const Bytes der = HandCert(rsa.key.get(), issuer, subject);
        const unsigned char* p = der.data();
        ossl::X509Ptr x(d2i_X509(nullptr, &p, long(der.size())));
        EXPECT_FALSE(x) << "OpenSSL reads it: the case proves nothing";
        ERR_clear_error();

        const auto cert = Certificate::FromDer(der);
        ASSERT_TRUE(cert);
        EXPECT_EQ(Of(cert->Info()->Subject), subject);
        EXPECT_EQ(Of(cert->Info()->Issuer), issuer);
        EXPECT_EQ(SubjectText(*cert), std::string("C=NZ, ") + n.text);
        EXPECT_EQ(cert->X509Cert(), nullptr);  // OpenSSL's form cannot be had
    }
}

// A certificate only the platform can read (the signer of a verified message)
// cannot be carried in a new message: signing with it among the included
// certificates fails cleanly instead of handing OpenSSL nothing.
TEST(CertFields, ACertificateOpenSslRefusesIsNotIncludedInASignature) {
    TestCert signer = MakeCert();
    const Bytes issuer = Name({Rdn({Atv("2.5.4.3", 0x13, Text("Issuer"))})});
    const auto refused = NamesOpenSslRefuses().front();
    const Bytes der = HandCert(signer.key.get(), issuer, Name({Rdn({refused.atv})}));
    const auto platformOnly = Certificate::FromDer(der);
    ASSERT_TRUE(platformOnly);
    const auto withKey = Certificate::FromX509(signer.cert.get(), std::move(signer.key));
    ASSERT_TRUE(withKey);
    PCCERT_CONTEXT signing = NewCertContext(withKey, nullptr, nullptr, 0);
    PCCERT_CONTEXT included[1] = {NewCertContext(platformOnly, nullptr, nullptr, 0)};

    CRYPT_SIGN_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = 0x10001;
    para.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_MD5);
    para.pSigningCert = signing;
    const BYTE* piece[1] = {reinterpret_cast<const BYTE*>("x")};
    DWORD length[1] = {1};
    DWORD size = 0;
    EXPECT_TRUE(CryptSignMessage(&para, TRUE, 1, piece, length, nullptr, &size));
    para.cMsgCert = 1;
    para.rgpMsgCert = included;
    EXPECT_FALSE(CryptSignMessage(&para, TRUE, 1, piece, length, nullptr, &size));
    EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_BADTAG);
    EXPECT_TRUE(CertFreeCertificateContext(included[0]));
    EXPECT_TRUE(CertFreeCertificateContext(signing));
}

TEST(CertFields, DamagedCertificatesAreRefusedAtEveryCut) {
    const TestCert rsa = WithKeyIdentifier(MakeCert());
    const Bytes der = rsa.Der();
    CertFields f;
    for (std::size_t keep = 0; keep < der.size(); ++keep) {
        SCOPED_TRACE(keep);
        const Bytes cut(der.begin(), der.begin() + std::ptrdiff_t(keep));
        EXPECT_EQ(ReadCertFields(cut, f), CRYPT_E_ASN1_EOD);
        SetLastError(0);
        EXPECT_FALSE(Certificate::FromDer(cut));
        EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_EOD);
    }

    // Cut inside while the outer length still fits: every element of the
    // certificate in turn loses its last octet, the lengths around it kept
    // consistent, so that only the element itself is damaged.
    const Bytes name = Name({Rdn({Atv("2.5.4.3", 0x13, Text("N"))})});
    const Bytes good = HandCert(rsa.key.get(), name, name);
    ASSERT_EQ(ReadCertFields(good, f), ERROR_SUCCESS);
    const struct {
        const char* what;
        Bytes der;
    } damaged[] = {
        {"trailing octet", Join({good, {0x00}})},
        {"open length", Join({{0x30, 0x80}, Bytes(good.begin() + 4, good.end()), {0, 0}})},
        {"five length octets", Join({{0x30, 0x85, 0, 0, 0, 0x01, 0x00}})},
        {"no signature",
         [&] {
             // The certificate with its TBSCertificate alone.
             return Tlv(0x30, Of(f.tbs));
         }()},
        {"serial not an integer", HandCert(rsa.key.get(), name, name, {})},  // an empty INTEGER
        {"name of a wrong shape", HandCert(rsa.key.get(), Tlv(0x30, Tlv(0x31, {})), name)},
        {"name holding no pair",
         HandCert(rsa.key.get(), name, Tlv(0x30, Tlv(0x31, Tlv(0x30, Oid("2.5.4.3")))))},
        {"extension without value",
         HandCert(rsa.key.get(), name, name, {0x01}, {Tlv(0x30, Oid("2.5.29.19"))})},
        {"key identifier not an octet string",
         HandCert(rsa.key.get(), name, name, {0x01},
                  {Tlv(0x30, Join({Oid("2.5.29.14"), Tlv(0x04, Tlv(0x02, {1}))}))})},
    };
    for (const auto& d : damaged) {
        SCOPED_TRACE(d.what);
        EXPECT_NE(ReadCertFields(d.der, f), DWORD(ERROR_SUCCESS));
        EXPECT_FALSE(Certificate::FromDer(d.der));
    }
    // A tag in place of another is told as such.
    Bytes retagged = good;
    retagged[0] = 0x31;
    EXPECT_EQ(ReadCertFields(retagged, f), CRYPT_E_ASN1_BADTAG);
}

TEST(CertFields, RepeatedCertificatesAreReadOnceAndTheCacheIsBounded) {
    platform::crypt::ClearCertCache();
    const TestCert rsa = MakeCert();
    const Bytes der = rsa.Der();
    DWORD error = 0;
    const auto before = platform::crypt::CertCacheNow();
    const auto first = platform::crypt::ReadCertificate(der, error);
    const auto second = platform::crypt::ReadCertificate(der, error);
    ASSERT_TRUE(first);
    EXPECT_EQ(first, second);  // the same reading
    ASSERT_TRUE(first->key);
    EXPECT_EQ(EVP_PKEY_eq(first->key.get(), rsa.key.get()), 1);
    auto after = platform::crypt::CertCacheNow();
    EXPECT_EQ(after.misses - before.misses, 1u);
    EXPECT_EQ(after.hits - before.hits, 1u);

    // Many other certificates push the first one out; the cache never holds
    // more than its bound.
    const Bytes name = Name({Rdn({Atv("2.5.4.3", 0x13, Text("N"))})});
    for (std::size_t i = 0; i < platform::crypt::kCertCacheCapacity + 3; ++i) {
        const Bytes other = HandCert(rsa.key.get(), name, name, {0x01, BYTE(i)});
        ASSERT_TRUE(platform::crypt::ReadCertificate(other, error));
    }
    after = platform::crypt::CertCacheNow();
    EXPECT_EQ(after.size, platform::crypt::kCertCacheCapacity);
    const auto again = platform::crypt::ReadCertificate(der, error);
    EXPECT_NE(again, first);
    EXPECT_EQ(platform::crypt::CertCacheNow().misses - after.misses, 1u);

    // A damaged certificate is not kept.
    const Bytes cut(der.begin(), der.end() - 1);
    EXPECT_FALSE(platform::crypt::ReadCertificate(cut, error));
    EXPECT_EQ(error, CRYPT_E_ASN1_EOD);
}

}  // namespace
}  // namespace ostrel::test
