#include <gtest/gtest.h>

#include "platform/crypt/Certificate.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/win/LastError.h"
#include "platform/win/Time.h"
#include "platform/win/WinError.h"
#include "tests/platform/crypt/SignedMessages.h"
#include "tests/support/TestSupport.h"

namespace ostrel::test {
namespace {

const std::string kContent = "Pay Ann Lee 100 crowns.\r\n";

struct Outcome {
    BOOL ok;
    DWORD error;
    std::string serial;  // of the handed-out context, least significant byte first
};

CRYPT_VERIFY_MESSAGE_PARA Para() {
    CRYPT_VERIFY_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    return para;
}

// Verifies signer `index` and checks what every caller relies on: a context
// handed out exactly on success, and nothing alive once it is freed.
Outcome Verify(const Bytes& message, DWORD index = 0) {
    const auto before = LiveCounts::Now();
    auto para = Para();
    PCCERT_CONTEXT signer = reinterpret_cast<PCCERT_CONTEXT>(&para);  // must be overwritten
    SetLastError(0);
    Outcome out{CryptVerifyMessageSignature(&para, index, message.data(), DWORD(message.size()),
                                            nullptr, nullptr, &signer),
                GetLastError(),
                {}};
    if (out.ok) {
        EXPECT_NE(signer, nullptr);
        const CRYPT_INTEGER_BLOB& serial = signer->pCertInfo->SerialNumber;
        out.serial = Hex(Bytes(serial.pbData, serial.pbData + serial.cbData));
        EXPECT_TRUE(CertFreeCertificateContext(signer));
    } else {
        EXPECT_EQ(signer, nullptr);
    }
    EXPECT_EQ(LiveCounts::Now(), before);
    return out;
}

DWORD FailureOf(const Bytes& message, DWORD index = 0) {
    const Outcome o = Verify(message, index);
    EXPECT_FALSE(o.ok);
    return o.error;
}

TestCert Rsa(const std::string& serial = "0123ABCD") {
    CertOptions options;
    options.serialHex = serial;
    return MakeCert(options);
}

TEST(VerifyMessage, MessagesMadeByOpenSslVerifyWithEveryDigestAndScheme) {
    const TestCert rsa = Rsa();
    CertOptions ecSpec;
    ecSpec.ec = true;
    ecSpec.serialHex = "0A";
    const TestCert ec = MakeCert(ecSpec);
    struct Case {
        const char* name;
        SignerSpec signer;
        const char* serial;
    } cases[] = {
        {"rsa md5", {&rsa, EVP_md5()}, "CDAB2301"},
        {"rsa sha1", {&rsa, EVP_sha1()}, "CDAB2301"},
        {"rsa sha256", {&rsa, EVP_sha256()}, "CDAB2301"},
        {"rsa sha512 no attributes", {&rsa, EVP_sha512(), false, CMS_NOATTR}, "CDAB2301"},
        {"rsa md5 no attributes", {&rsa, EVP_md5(), false, CMS_NOATTR}, "CDAB2301"},
        {"rsa-pss sha256", {&rsa, EVP_sha256(), true}, "CDAB2301"},
        {"rsa-pss sha384 no attributes", {&rsa, EVP_sha384(), true, CMS_NOATTR}, "CDAB2301"},
        {"ecdsa sha256", {&ec, EVP_sha256()}, "0A"},
        {"ecdsa sha1 no attributes", {&ec, EVP_sha1(), false, CMS_NOATTR}, "0A"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome o = Verify(SignCms(kContent, {c.signer}));
        EXPECT_TRUE(o.ok) << std::hex << o.error;
        EXPECT_EQ(o.serial, c.serial);
    }
}

TEST(VerifyMessage, OtherFormsOfTheSameMessageVerify) {
    const TestCert rsa = Rsa();
    // PKCS #7 as PKCS7_sign writes it, and the streaming form with open lengths.
    EXPECT_TRUE(Verify(SignPkcs7(kContent, rsa)).ok);
    const Bytes streamed = SignCmsStreamed(kContent, rsa);
    ASSERT_EQ(streamed[1], 0x80) << "expected an indefinite length";
    EXPECT_TRUE(Verify(streamed).ok);
    // Signer named by its key identifier rather than issuer and serial number.
    const TestCert keyed = WithKeyIdentifier(Rsa("77"));
    EXPECT_EQ(Verify(SignCms(kContent, {{&keyed, EVP_sha256(), false, CMS_USE_KEYID}})).serial,
              "77");
    // Empty content carried inside is content.
    EXPECT_TRUE(Verify(SignCms("", {{&rsa}})).ok);
    // Certificates are not checked for validity: only the signature counts.
    CertOptions expired;
    expired.notBeforeDays = -30;
    expired.notAfterDays = -1;
    const TestCert old = MakeCert(expired);
    EXPECT_TRUE(Verify(SignCms(kContent, {{&old}})).ok);
}

TEST(VerifyMessage, SignerIndexPicksOneSignerAndItsCertificate) {
    const TestCert first = Rsa("01");
    CertOptions ecSpec;
    ecSpec.ec = true;
    ecSpec.serialHex = "0202";
    ecSpec.subject = "/CN=Second";
    const TestCert second = MakeCert(ecSpec);
    const Bytes message = SignCms(kContent, {{&first}, {&second, EVP_sha1()}});
    const DWORD a = DWORD(SignerPosition(message, first)), b = 1 - a;
    EXPECT_EQ(Verify(message, a).serial, "01");
    EXPECT_EQ(Verify(message, b).serial, "0202");
    EXPECT_EQ(FailureOf(message, 2), CRYPT_E_NO_SIGNER);

    // A broken signature does not touch the other one.
    const Bytes broken = Flipped(message, SignatureOf(message, int(b)), 10);
    EXPECT_TRUE(Verify(broken, a).ok);
    EXPECT_EQ(FailureOf(broken, b), NTE_BAD_SIGNATURE);
}

TEST(VerifyMessage, ChangedMessagesFailWithTheirCause) {
    const TestCert rsa = Rsa();
    const Bytes message = SignCms(kContent, {{&rsa}});
    const Bytes content = Text(kContent);

    EXPECT_EQ(FailureOf(Flipped(message, content, 4)), CRYPT_E_HASH_VALUE);
    EXPECT_EQ(FailureOf(Flipped(message, SignatureOf(message), 100)), NTE_BAD_SIGNATURE);
    const Bytes bare = SignCms(kContent, {{&rsa, EVP_sha256(), false, CMS_NOATTR}});
    EXPECT_EQ(FailureOf(Flipped(bare, content, 4)), NTE_BAD_SIGNATURE);

    // Without the signer's certificate, or with another one only.
    EXPECT_EQ(FailureOf(SignCms(kContent, {{&rsa, EVP_sha256(), false, CMS_NOCERTS}})),
              CRYPT_E_NOT_FOUND);
    {
        const TestCert other = Rsa("99");
        const Bytes without = SignCms(kContent, {{&rsa, EVP_sha256(), false, CMS_NOCERTS}});
        const unsigned char* p = without.data();
        CmsPtr noCert(d2i_CMS_ContentInfo(nullptr, &p, long(without.size())));
        ASSERT_EQ(CMS_add1_cert(noCert.get(), other.cert.get()), 1);
        EXPECT_EQ(FailureOf(CmsDer(noCert.get())), CRYPT_E_NOT_FOUND);
    }

    // The content travels apart: nothing inside to verify.
    EXPECT_EQ(FailureOf(SignCms(kContent, {{&rsa}}, CMS_DETACHED)), CRYPT_E_INVALID_MSG_TYPE);
}

TEST(VerifyMessage, BytesThatAreNoSignedMessageFailCleanly) {
    const TestCert rsa = Rsa();
    const Bytes message = SignCms(kContent, {{&rsa}});

    EXPECT_EQ(FailureOf({}), CRYPT_E_ASN1_EOD);
    for (std::size_t keep : {std::size_t(1), std::size_t(2), std::size_t(40), message.size() - 1}) {
        SCOPED_TRACE(keep);
        EXPECT_EQ(FailureOf(Bytes(message.begin(), message.begin() + std::ptrdiff_t(keep))),
                  CRYPT_E_ASN1_EOD);
    }
    EXPECT_EQ(FailureOf(Text("This is not a message at all.")), CRYPT_E_ASN1_BADTAG);
    EXPECT_EQ(FailureOf(Bytes{0x31, 0x00}), CRYPT_E_ASN1_BADTAG);
    Bytes trailing = message;
    trailing.push_back(0);
    EXPECT_EQ(FailureOf(trailing), CRYPT_E_ASN1_CORRUPT);

    // A well-formed message of another type.
    platform::crypt::ossl::BioPtr in(BIO_new_mem_buf(kContent.data(), int(kContent.size())));
    CmsPtr data(CMS_data_create(in.get(), CMS_BINARY));
    EXPECT_EQ(FailureOf(CmsDer(data.get())), CRYPT_E_UNEXPECTED_MSG_TYPE);

    // Every cut and every flipped byte of a real message ends in a clean
    // failure or, where the byte is not covered by the signature, a success.
    for (std::size_t i = 0; i < message.size(); i += 7) {
        Bytes changed = message;
        changed[i] ^= 0xFF;
        Verify(changed);
        Verify(Bytes(message.begin(), message.begin() + std::ptrdiff_t(i)));
    }
}

// A message put together byte by byte, as another producer might write it:
// the signed attributes in the order and encoding given, the signature made
// over exactly those bytes.
Bytes HandMade(const TestCert& signer, const std::string& content,
               const std::vector<Bytes>& attributes, bool openLength = false) {
    const Bytes sha256 = Tlv(0x30, Join({Oid("2.16.840.1.101.3.4.2.1"), Tlv(0x05, {})}));
    const Bytes rsa = Tlv(0x30, Join({Oid("1.2.840.113549.1.1.1"), Tlv(0x05, {})}));
    Bytes attrs;
    for (const auto& a : attributes) attrs.insert(attrs.end(), a.begin(), a.end());
    const Bytes signedBytes = Tlv(0x31, attrs);

    platform::crypt::ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
    EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, signer.key.get());
    std::size_t sigLength = 0;
    EVP_DigestSign(ctx.get(), nullptr, &sigLength, signedBytes.data(), signedBytes.size());
    Bytes sig(sigLength);
    EVP_DigestSign(ctx.get(), sig.data(), &sigLength, signedBytes.data(), signedBytes.size());
    sig.resize(sigLength);

    const Bytes issuer =
        platform::crypt::ossl::ToDer(X509_get_issuer_name(signer.cert.get()), i2d_X509_NAME);
    const Bytes serial =
        platform::crypt::ossl::ToDer(X509_get0_serialNumber(signer.cert.get()), i2d_ASN1_INTEGER);
    const Bytes signerInfo =
        Tlv(0x30, Join({Tlv(0x02, {1}), Tlv(0x30, Join({issuer, serial})), sha256,
                        openLength ? Join({{0xA0, 0x80}, attrs, {0x00, 0x00}}) : Tlv(0xA0, attrs),
                        rsa, Tlv(0x04, sig)}));
    const Bytes signedData = Tlv(
        0x30,
        Join({Tlv(0x02, {1}), Tlv(0x31, sha256),
              Tlv(0x30, Join({Oid("1.2.840.113549.1.7.1"), Tlv(0xA0, Tlv(0x04, Text(content)))})),
              Tlv(0xA0, signer.Der()), Tlv(0x31, signerInfo)}));
    return Tlv(0x30, Join({Oid("1.2.840.113549.1.7.2"), Tlv(0xA0, signedData)}));
}

Bytes Sha256(const std::string& text) {
    Bytes digest(32);
    EVP_Digest(text.data(), text.size(), digest.data(), nullptr, EVP_sha256(), nullptr);
    return digest;
}

Bytes Attribute(const char* oid, const Bytes& values) {
    return Tlv(0x30, Join({Oid(oid), Tlv(0x31, values)}));
}

TEST(VerifyMessage, SignedAttributesAreVerifiedAsTheSignerEncodedThem) {
    const TestCert rsa = Rsa();
    const Bytes contentType = Attribute("1.2.840.113549.1.9.3", Oid("1.2.840.113549.1.7.1"));
    // Out of DER order, and the digest written with a needlessly long length:
    // encoding the attributes again would change the bytes that were signed.
    const Bytes digestLong =
        Attribute("1.2.840.113549.1.9.4", Tlv(0x04, Sha256(kContent), /*lengthOctets=*/2));
    const Bytes time = Attribute("1.2.840.113549.1.9.5", Tlv(0x17, Text("990101000000Z")));
    const Bytes message = HandMade(rsa, kContent, {time, digestLong, contentType});
    EXPECT_TRUE(Verify(message).ok);
    {
        // OpenSSL's own verifier encodes the attributes again and so refuses it.
        const unsigned char* p = message.data();
        CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, long(message.size())));
        ASSERT_TRUE(cms);
        EXPECT_NE(CMS_verify(cms.get(), nullptr, nullptr, nullptr, nullptr,
                             CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY),
                  1);
        ERR_clear_error();
    }

    const Bytes digest = Attribute("1.2.840.113549.1.9.4", Tlv(0x04, Sha256(kContent)));
    EXPECT_TRUE(Verify(HandMade(rsa, kContent, {contentType, digest})).ok);
    // Attributes written with an open length (BER) are verified in their DER form.
    EXPECT_TRUE(Verify(HandMade(rsa, kContent, {contentType, digest}, true)).ok);
    EXPECT_EQ(FailureOf(HandMade(rsa, kContent, {contentType, time})), CRYPT_E_AUTH_ATTR_MISSING);
    EXPECT_EQ(FailureOf(HandMade(rsa, kContent, {digest, digest})), CRYPT_E_AUTH_ATTR_MISSING);
    const Bytes wrong = Attribute("1.2.840.113549.1.9.4", Tlv(0x04, Sha256("other")));
    EXPECT_EQ(FailureOf(HandMade(rsa, kContent, {contentType, wrong})), CRYPT_E_HASH_VALUE);
}

TEST(VerifyMessage, CertificatesOpenSslRefusesAreReadByThePlatform) {
    const TestCert rsa = Rsa();
    const Bytes issuer = Name({Rdn({Atv("2.5.4.3", 0x13, Text("Issuer"))})});
    const Bytes serial{0x00, 0x99};
    const Bytes subject = Name(
        {Rdn({Atv("2.5.4.3", 0x1B, Text("General Ann")), Atv("1.3.6.1.4.1.99999.7", 0x04, {0x01})}),
         Rdn({Atv("2.5.4.10", 0x1E, {0x00, 'O', 0x00})})});
    const Bytes cert = HandCert(rsa.key.get(), issuer, subject, serial);
    const Bytes message = HandSigned(cert, rsa.key.get(), issuer, serial, kContent);
    {
        const unsigned char* p = message.data();
        CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, long(message.size())));
        EXPECT_FALSE(cms) << "OpenSSL reads the message: the case proves nothing";
        ERR_clear_error();
    }
    auto para = Para();
    PCCERT_CONTEXT signer = nullptr;
    ASSERT_TRUE(CryptVerifyMessageSignature(&para, 0, message.data(), DWORD(message.size()),
                                            nullptr, nullptr, &signer))
        << std::hex << GetLastError();
    EXPECT_EQ(Bytes(signer->pbCertEncoded, signer->pbCertEncoded + signer->cbCertEncoded), cert);
    char text[256];
    CertNameToStrA(X509_ASN_ENCODING, &signer->pCertInfo->Subject, CERT_X500_NAME_STR, text,
                   sizeof text);
    EXPECT_STREQ(text, "CN=General Ann + OID.1.3.6.1.4.1.99999.7=#01, O=#1E03004F00");
    EXPECT_EQ(
        Hex(Bytes(signer->pCertInfo->SerialNumber.pbData,
                  signer->pCertInfo->SerialNumber.pbData + signer->pCertInfo->SerialNumber.cbData)),
        "9900");
    CertFreeCertificateContext(signer);

    // The signature over a changed text fails as with any certificate.
    const Bytes changed = Flipped(message, Text(kContent), 2);
    EXPECT_EQ(FailureOf(changed), CRYPT_E_HASH_VALUE);

    // A signer certificate cut short inside an otherwise whole message (its
    // content cut, its own length made to fit) is refused, at every cut.
    ASSERT_EQ(cert[1], 0x82);
    const Bytes inner(cert.begin() + 4, cert.end());
    for (std::size_t keep = 0; keep < inner.size(); keep += 3) {
        SCOPED_TRACE(keep);
        const Bytes cut = Tlv(0x30, Bytes(inner.begin(), inner.begin() + std::ptrdiff_t(keep)));
        const DWORD error = FailureOf(HandSigned(cut, rsa.key.get(), issuer, serial, kContent));
        EXPECT_TRUE(error == CRYPT_E_ASN1_CORRUPT || error == CRYPT_E_ASN1_BADTAG)
            << std::hex << error;
    }
}

TEST(VerifyMessage, ContentIsHandedOutWithSizeQuery) {
    const TestCert rsa = Rsa();
    const Bytes message = SignCms(kContent, {{&rsa}});
    auto para = Para();
    DWORD size = 12345;
    ASSERT_TRUE(CryptVerifyMessageSignature(&para, 0, message.data(), DWORD(message.size()),
                                            nullptr, &size, nullptr));
    EXPECT_EQ(size, kContent.size());

    std::string small(4, '\0');
    size = DWORD(small.size());
    EXPECT_FALSE(CryptVerifyMessageSignature(&para, 0, message.data(), DWORD(message.size()),
                                             reinterpret_cast<BYTE*>(small.data()), &size,
                                             nullptr));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(size, kContent.size());

    std::string room(64, '\0');
    size = DWORD(room.size());
    ASSERT_TRUE(CryptVerifyMessageSignature(&para, 0, message.data(), DWORD(message.size()),
                                            reinterpret_cast<BYTE*>(room.data()), &size, nullptr));
    EXPECT_EQ(room.substr(0, size), kContent);

    // A failed verification hands out nothing.
    const Bytes bad = Flipped(message, SignatureOf(message), 0);
    size = DWORD(room.size());
    EXPECT_FALSE(CryptVerifyMessageSignature(&para, 0, bad.data(), DWORD(bad.size()),
                                             reinterpret_cast<BYTE*>(room.data()), &size, nullptr));
    EXPECT_EQ(size, 0u);
}

// Verifies a detached signature over the content given in pieces.
DWORD DetachedFailure(const Bytes& message, const std::vector<std::string>& pieces,
                      std::string* serial = nullptr) {
    const auto before = LiveCounts::Now();
    auto para = Para();
    std::vector<const BYTE*> data;
    std::vector<DWORD> sizes;
    for (const auto& p : pieces) {
        data.push_back(reinterpret_cast<const BYTE*>(p.data()));
        sizes.push_back(DWORD(p.size()));
    }
    PCCERT_CONTEXT signer = reinterpret_cast<PCCERT_CONTEXT>(&para);
    SetLastError(0);
    const BOOL ok =
        CryptVerifyDetachedMessageSignature(&para, 0, message.data(), DWORD(message.size()),
                                            DWORD(data.size()), data.data(), sizes.data(), &signer);
    const DWORD error = ok ? 0 : GetLastError();
    EXPECT_EQ(signer != nullptr, ok != FALSE);
    if (ok && serial != nullptr) {
        const CRYPT_INTEGER_BLOB& s = signer->pCertInfo->SerialNumber;
        *serial = Hex(Bytes(s.pbData, s.pbData + s.cbData));
    }
    if (ok) CertFreeCertificateContext(signer);
    EXPECT_EQ(LiveCounts::Now(), before);
    return error;
}

TEST(VerifyMessage, DetachedSignaturesVerifyOverTheContentGivenBeside) {
    const TestCert rsa = Rsa();
    for (const unsigned flags : {0u, unsigned(CMS_NOATTR)}) {
        SCOPED_TRACE(flags);
        const Bytes message = SignCms(kContent, {{&rsa, EVP_md5(), false, flags}}, CMS_DETACHED);
        std::string serial;
        EXPECT_EQ(DetachedFailure(message, {kContent}, &serial), 0u);
        EXPECT_EQ(serial, "CDAB2301");
        // In pieces, empty ones among them, as one content.
        EXPECT_EQ(DetachedFailure(message, {"Pay Ann", "", " Lee 100", " crowns.\r\n"}), 0u);
        const DWORD changed = flags == 0 ? CRYPT_E_HASH_VALUE : NTE_BAD_SIGNATURE;
        EXPECT_EQ(DetachedFailure(message, {"Pay Ann Lee 900 crowns.\r\n"}), changed);
        EXPECT_EQ(DetachedFailure(message, {kContent, "x"}), changed);
        EXPECT_EQ(DetachedFailure(message, {}), changed);
        EXPECT_EQ(DetachedFailure(Flipped(message, SignatureOf(message), 5), {kContent}),
                  NTE_BAD_SIGNATURE);
    }
    // The empty content, signed and given as no pieces at all.
    EXPECT_EQ(DetachedFailure(SignCms("", {{&rsa}}, CMS_DETACHED), {}), 0u);
    // A message that carries its content is verified over the content given.
    const Bytes attached = SignCms(kContent, {{&rsa}});
    EXPECT_EQ(DetachedFailure(attached, {kContent}), 0u);
    EXPECT_EQ(DetachedFailure(attached, {"other"}), CRYPT_E_HASH_VALUE);

    auto para = Para();
    const BYTE* pieces[] = {nullptr};
    DWORD sizes[] = {4};
    EXPECT_FALSE(CryptVerifyDetachedMessageSignature(
        &para, 0, attached.data(), DWORD(attached.size()), 1, pieces, sizes, nullptr));
    EXPECT_EQ(GetLastError(), E_INVALIDARG);
    EXPECT_FALSE(CryptVerifyDetachedMessageSignature(
        &para, 0, attached.data(), DWORD(attached.size()), 1, nullptr, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), E_INVALIDARG);
}

TEST(VerifyMessage, SignedAttributesAndTheSigningTimeAreRead) {
    const TestCert rsa = Rsa();
    const Bytes issuer =
        platform::crypt::ossl::ToDer(X509_get_issuer_name(rsa.cert.get()), i2d_X509_NAME);
    const Bytes message =
        HandSigned(rsa.Der(), rsa.key.get(), issuer, {0x01, 0x23, 0xAB, 0xCD}, kContent);
    ASSERT_TRUE(Verify(message).ok);

    HCRYPTMSG msg = CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    ASSERT_NE(msg, nullptr);
    DWORD size = 0;
    EXPECT_FALSE(CryptMsgGetParam(msg, CMSG_SIGNER_AUTH_ATTR_PARAM, 0, nullptr, &size));
    EXPECT_EQ(GetLastError(), CRYPT_E_STREAM_MSG_NOT_READY);
    // Given in two pieces.
    ASSERT_TRUE(CryptMsgUpdate(msg, message.data(), 10, FALSE));
    ASSERT_TRUE(CryptMsgUpdate(msg, message.data() + 10, DWORD(message.size() - 10), TRUE));
    DWORD count = 0;
    size = sizeof count;
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_COUNT_PARAM, 0, &count, &size));
    EXPECT_EQ(count, 1u);
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_AUTH_ATTR_PARAM, 0, nullptr, &size));
    std::vector<std::max_align_t> area(size / sizeof(std::max_align_t) + 1);
    DWORD small = size - 1;
    EXPECT_FALSE(CryptMsgGetParam(msg, CMSG_SIGNER_AUTH_ATTR_PARAM, 0, area.data(), &small));
    EXPECT_EQ(GetLastError(), ERROR_MORE_DATA);
    ASSERT_TRUE(CryptMsgGetParam(msg, CMSG_SIGNER_AUTH_ATTR_PARAM, 0, area.data(), &size));
    EXPECT_FALSE(CryptMsgGetParam(msg, CMSG_SIGNER_AUTH_ATTR_PARAM, 1, nullptr, &size));
    EXPECT_EQ(GetLastError(), CRYPT_E_NO_SIGNER);
    EXPECT_FALSE(CryptMsgUpdate(msg, message.data(), 1, TRUE));  // already whole
    ASSERT_TRUE(CryptMsgClose(msg));
    EXPECT_FALSE(CryptMsgClose(msg));

    // Everything the attributes point to lies in the caller's buffer.
    const auto* attrs = reinterpret_cast<const CRYPT_ATTRIBUTES*>(area.data());
    const BYTE* begin = reinterpret_cast<const BYTE*>(area.data());
    const auto inside = [&](const void* p) {
        return p >= begin && p < begin + area.size() * sizeof(std::max_align_t);
    };
    ASSERT_EQ(attrs->cAttr, 3u);
    EXPECT_STREQ(attrs->rgAttr[0].pszObjId, szOID_RSA_contentType);
    EXPECT_STREQ(attrs->rgAttr[1].pszObjId, szOID_RSA_signingTime);
    EXPECT_STREQ(attrs->rgAttr[2].pszObjId, szOID_RSA_messageDigest);
    for (DWORD i = 0; i < 3; ++i) {
        EXPECT_TRUE(inside(attrs->rgAttr[i].pszObjId));
        ASSERT_EQ(attrs->rgAttr[i].cValue, 1u);
        EXPECT_TRUE(inside(attrs->rgAttr[i].rgValue[0].pbData));
    }
    const CRYPT_ATTR_BLOB& time = attrs->rgAttr[1].rgValue[0];
    EXPECT_EQ(Bytes(time.pbData, time.pbData + time.cbData), Tlv(0x17, Text("260314151617Z")));
    FILETIME ft{};
    DWORD ftSize = sizeof ft;
    ASSERT_TRUE(CryptDecodeObject(X509_ASN_ENCODING, PKCS_UTC_TIME, time.pbData, time.cbData, 0,
                                  &ft, &ftSize));
    SYSTEMTIME st{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &st));
    EXPECT_EQ(std::vector<int>({st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond}),
              std::vector<int>({2026, 3, 14, 15, 16, 17}));

    // The signing time as the encoder writes it reads back; other encodings
    // are refused cleanly.
    for (const std::string t : {"20510101000000Z", "990101000000Z"}) {
        const Bytes der = Tlv(t.size() == 15 ? 0x18 : 0x17, Text(t));
        EXPECT_TRUE(CryptDecodeObject(X509_ASN_ENCODING, szOID_RSA_signingTime, der.data(),
                                      DWORD(der.size()), 0, &ft, &ftSize));
        DWORD n = 0;
        ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, PKCS_UTC_TIME, &ft, nullptr, &n));
        Bytes encoded(n);
        ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, PKCS_UTC_TIME, &ft, encoded.data(), &n));
        EXPECT_EQ(encoded, der);
    }
    for (const Bytes& bad : {Tlv(0x17, Text("2601011200")), Tlv(0x17, Text("260230000000Z")),
                             Tlv(0x04, Text("260101000000Z")), Bytes{0x17, 0x0D, '2'}}) {
        EXPECT_FALSE(CryptDecodeObject(X509_ASN_ENCODING, PKCS_UTC_TIME, bad.data(),
                                       DWORD(bad.size()), 0, &ft, &ftSize));
    }

    // A signer without signed attributes has none to give.
    const Bytes bare = SignCms(kContent, {{&rsa, EVP_sha256(), false, CMS_NOATTR}});
    msg = CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    ASSERT_TRUE(CryptMsgUpdate(msg, bare.data(), DWORD(bare.size()), TRUE));
    EXPECT_FALSE(CryptMsgGetParam(msg, CMSG_SIGNER_AUTH_ATTR_PARAM, 0, nullptr, &size));
    EXPECT_EQ(GetLastError(), CRYPT_E_ATTRIBUTES_MISSING);
    CryptMsgClose(msg);
    EXPECT_FALSE(CryptMsgGetParam(msg, CMSG_SIGNER_COUNT_PARAM, 0, nullptr, &size));
    EXPECT_EQ(GetLastError(), E_INVALIDARG);
}

TEST(VerifyMessage, BadParametersAndInjectedFaults) {
    const TestCert rsa = Rsa();
    const Bytes message = SignCms(kContent, {{&rsa}});
    const auto call = [&](CRYPT_VERIFY_MESSAGE_PARA* para, const BYTE* data, DWORD size) {
        SetLastError(0);
        PCCERT_CONTEXT signer = nullptr;
        const BOOL ok = CryptVerifyMessageSignature(para, 0, data, size, nullptr, nullptr, &signer);
        EXPECT_EQ(signer != nullptr, ok != FALSE);
        CertFreeCertificateContext(signer);
        return ok ? 0 : GetLastError();
    };
    EXPECT_EQ(call(nullptr, message.data(), DWORD(message.size())), E_INVALIDARG);
    auto para = Para();
    para.cbSize = sizeof para - 1;
    EXPECT_EQ(call(&para, message.data(), DWORD(message.size())), E_INVALIDARG);
    para = Para();
    para.dwMsgAndCertEncodingType = X509_ASN_ENCODING;
    EXPECT_EQ(call(&para, message.data(), DWORD(message.size())), E_INVALIDARG);
    para = Para();
    para.pfnGetSignerCertificate = [](void*, DWORD, PCERT_INFO, HCERTSTORE) -> PCCERT_CONTEXT {
        return nullptr;
    };
    EXPECT_EQ(call(&para, message.data(), DWORD(message.size())), E_INVALIDARG);
    para = Para();
    EXPECT_EQ(call(&para, nullptr, 10), E_INVALIDARG);
    {
        platform::seams::ScopedFault fault("CryptVerifyMessageSignature", NTE_FAIL);
        EXPECT_EQ(call(&para, message.data(), DWORD(message.size())), NTE_FAIL);
        EXPECT_TRUE(fault.Fired());
    }
    EXPECT_EQ(call(&para, message.data(), DWORD(message.size())), 0u);
}

}  // namespace
}  // namespace ostrel::test
