// Signing with SHA-2 digests, RSA PKCS#1 v1.5, RSA-PSS and ECDSA keys, the
// message parameters a signer reads back, and the unsigned attributes added
// to a made message: checked by OpenSSL's command and by the platform's own
// verification.

#include <gtest/gtest.h>
#include <openssl/cms.h>
#include <openssl/sha.h>

#include <set>
#include <string>
#include <vector>

#include "platform/crypt/FastPaths.h"
#include "platform/crypt/SignMessage.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"
#include "tests/platform/crypt/SignedMessages.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace ostrel::test;

const char kEssSigningCertV2[] = "1.2.840.113549.1.9.16.2.47";
const char kTimeStampToken[] = "1.2.840.113549.1.9.16.2.14";
const std::string kText = "Pay 100 to Bob, 2026-12-10";

struct Kind {
    const char* name;
    bool ec;
    const char* curve;
    bool pss;
};

const Kind kKinds[] = {{"RSA-PKCS1", false, "", false},
                       {"RSA-PSS", false, "", true},
                       {"P-256", true, "P-256", false},
                       {"P-384", true, "P-384", false},
                       {"P-521", true, "P-521", false}};

const char* const kDigests[] = {szOID_NIST_sha256, szOID_NIST_sha384, szOID_NIST_sha512};

// What one call to CryptSignMessage is given.
struct Request {
    const char* digest = szOID_NIST_sha256;
    const char* signatureOid = nullptr;  // the key's own algorithm
    Bytes signatureParameters;
    bool cades = false;
    bool detached = true;
    std::string text = kText;
    const void* aux = nullptr;
};

class SignAlgorithms : public ::testing::Test {
protected:
    void SetUp() override {
        m_before = LiveCounts::Now();
        for (const Kind& kind : kKinds) {
            if (kind.pss) continue;  // the RSA key serves both paddings
            m_certs.push_back(MakeCert({.subject = std::string("/CN=Signer ") + kind.name,
                                        .serialHex = "00C0FFEE",
                                        .ec = kind.ec,
                                        .curve = kind.curve}));
            AddToStore(m_certs.back());
        }
        m_store = CertOpenSystemStoreA(0, "MY");
        ASSERT_NE(m_store, nullptr);
        PCCERT_CONTEXT ctx = nullptr;
        while ((ctx = CertEnumCertificatesInStore(
                    m_store, ctx != nullptr ? CertDuplicateCertificateContext(ctx) : nullptr)) !=
               nullptr)
            m_contexts.push_back(ctx);
        ASSERT_EQ(m_contexts.size(), m_certs.size());
    }
    void TearDown() override {
        for (PCCERT_CONTEXT ctx : m_contexts) CertFreeCertificateContext(ctx);
        EXPECT_TRUE(CertCloseStore(m_store, CERT_CLOSE_STORE_CHECK_FLAG));
        EXPECT_EQ(LiveCounts::Now(), m_before);
    }

    // The store holds the RSA key's certificate, then P-256, P-384 and P-521.
    static std::size_t IndexOf(const Kind& kind) {
        if (!kind.ec) return 0;
        const std::string curve = kind.curve;
        return curve == "P-256" ? 1 : curve == "P-384" ? 2 : 3;
    }
    const TestCert& CertOf(const Kind& kind) const { return m_certs[IndexOf(kind)]; }
    PCCERT_CONTEXT ContextOf(const Kind& kind) const { return m_contexts[IndexOf(kind)]; }

    // ESS signing-certificate-v2: the SHA-256 hash of the certificate and
    // its issuer and serial number.
    static Bytes SigningCertificateV2(const TestCert& cert) {
        const Bytes der = cert.Der();
        Bytes hash(SHA256_DIGEST_LENGTH);
        SHA256(der.data(), der.size(), hash.data());
        const Bytes issuer =
            platform::crypt::ossl::ToDer(X509_get_issuer_name(cert.cert.get()), i2d_X509_NAME);
        const Bytes serial =
            platform::crypt::ossl::ToDer(X509_get_serialNumber(cert.cert.get()), i2d_ASN1_INTEGER);
        const Bytes issuerSerial = Tlv(0x30, Join({Tlv(0x30, Tlv(0xA4, issuer)), serial}));
        return Tlv(0x30, Tlv(0x30, Tlv(0x30, Join({Tlv(0x04, hash), issuerSerial}))));
    }

    // Signs the request's text; empty with `error` set on failure.
    Bytes Sign(PCCERT_CONTEXT signer, const TestCert& cert, const Request& r,
               DWORD* error = nullptr, bool sizeFirst = true) {
        const Bytes time = Tlv(0x17, Text("261210101010Z"));
        const Bytes ess = SigningCertificateV2(cert);
        CRYPT_ATTR_BLOB timeBlob{DWORD(time.size()), const_cast<BYTE*>(time.data())};
        CRYPT_ATTR_BLOB essBlob{DWORD(ess.size()), const_cast<BYTE*>(ess.data())};
        CRYPT_ATTRIBUTE auth[2] = {{const_cast<LPSTR>(szOID_RSA_signingTime), 1, &timeBlob},
                                   {const_cast<LPSTR>(kEssSigningCertV2), 1, &essBlob}};
        CRYPT_SIGN_MESSAGE_PARA para{};
        para.cbSize = sizeof para;
        para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
        para.pSigningCert = signer;
        para.HashAlgorithm.pszObjId = const_cast<LPSTR>(r.digest);
        para.cMsgCert = 1;
        para.rgpMsgCert = &signer;
        para.cAuthAttr = r.cades ? 2 : 1;
        para.rgAuthAttr = auth;
        para.HashEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(r.signatureOid);
        para.HashEncryptionAlgorithm.Parameters = {DWORD(r.signatureParameters.size()),
                                                   const_cast<BYTE*>(r.signatureParameters.data())};
        para.pvHashEncryptionAuxInfo = const_cast<void*>(r.aux);
        const BYTE* pieces[1] = {reinterpret_cast<const BYTE*>(r.text.data())};
        DWORD lengths[1] = {DWORD(r.text.size())};
        DWORD size = 16384;
        if (sizeFirst && !CryptSignMessage(&para, r.detached, 1, pieces, lengths, nullptr, &size)) {
            if (error != nullptr) *error = GetLastError();
            return {};
        }
        Bytes out(size);
        if (!CryptSignMessage(&para, r.detached, 1, pieces, lengths, out.data(), &size)) {
            if (error != nullptr) *error = GetLastError();
            return {};
        }
        EXPECT_LE(size, out.size());
        out.resize(size);
        if (error != nullptr) *error = 0;
        return out;
    }

    // `openssl cms -verify`, trusting the signer's own certificate, and with
    // -cades where the message has the ESS attribute.
    bool OpenSslAccepts(const Bytes& message, const TestCert& cert, const std::string& content,
                        bool detached, bool cades) {
        const auto dir = m_home.Path();
        WriteFile(dir / "sig.der", std::string(message.begin(), message.end()));
        WriteFile(dir / "content.txt", content);
        WriteFile(dir / "ca.pem", cert.CertPem());
        std::string line = "openssl cms -verify -binary -purpose any -inform DER -in '" +
                           (dir / "sig.der").string() + "' -CAfile '" + (dir / "ca.pem").string() +
                           "' -out /dev/null 2>/dev/null";
        if (detached) line += " -content '" + (dir / "content.txt").string() + "'";
        if (cades) line += " -cades";
        return RunCommand(line).status == 0;
    }

    // The platform's own verification, over `content` when detached.
    static DWORD PlatformVerifies(const Bytes& message, const std::string& content, bool detached) {
        CRYPT_VERIFY_MESSAGE_PARA para{sizeof para, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                       nullptr, nullptr};
        BOOL ok = FALSE;
        if (detached) {
            const BYTE* pieces[1] = {reinterpret_cast<const BYTE*>(content.data())};
            DWORD lengths[1] = {DWORD(content.size())};
            ok = CryptVerifyDetachedMessageSignature(
                &para, 0, message.data(), DWORD(message.size()), 1, pieces, lengths, nullptr);
        } else {
            ok = CryptVerifyMessageSignature(&para, 0, message.data(), DWORD(message.size()),
                                             nullptr, nullptr, nullptr);
        }
        return ok ? 0 : GetLastError();
    }

    TempHome m_home;
    std::vector<TestCert> m_certs;
    std::vector<PCCERT_CONTEXT> m_contexts;
    HCERTSTORE m_store = nullptr;
    LiveCounts m_before{};
};

TEST_F(SignAlgorithms, EveryDigestKeyAndFormatIsAcceptedAndAChangedContentRefused) {
    for (const Kind& kind : kKinds)
        for (const char* digest : kDigests)
            for (const bool cades : {false, true})
                for (const bool detached : {true, false}) {
                    SCOPED_TRACE(testing::Message()
                                 << kind.name << " " << digest << (cades ? " CAdES-B" : " CMS")
                                 << (detached ? " detached" : " attached"));
                    Request r{.digest = digest, .cades = cades, .detached = detached};
                    if (kind.pss) r.signatureOid = szOID_RSA_SSA_PSS;
                    const Bytes message = Sign(ContextOf(kind), CertOf(kind), r);
                    ASSERT_FALSE(message.empty()) << std::hex << GetLastError();
                    EXPECT_TRUE(OpenSslAccepts(message, CertOf(kind), kText, detached, cades));
                    EXPECT_EQ(PlatformVerifies(message, kText, detached), 0u);
                    if (detached) {
                        const std::string changed = "Pay 900 to Bob, 2026-12-10";
                        EXPECT_FALSE(OpenSslAccepts(message, CertOf(kind), changed, true, cades));
                        EXPECT_EQ(PlatformVerifies(message, changed, true), CRYPT_E_HASH_VALUE);
                    } else {
                        const Bytes changed = Flipped(message, Text("100"), 0);
                        EXPECT_FALSE(OpenSslAccepts(changed, CertOf(kind), kText, false, cades));
                        EXPECT_EQ(PlatformVerifies(changed, kText, false), CRYPT_E_HASH_VALUE);
                    }
                }
}

TEST_F(SignAlgorithms, TheMessageNamesTheAlgorithmsTheStandardsGiveEachKey) {
    const auto algorithms = [](const Bytes& message) {
        const unsigned char* p = message.data();
        CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, long(message.size())));
        CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
        X509_ALGOR *digest = nullptr, *signature = nullptr;
        CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digest, &signature);
        const ASN1_OBJECT *d = nullptr, *s = nullptr;
        int paramType = 0;
        X509_ALGOR_get0(&d, nullptr, nullptr, digest);
        X509_ALGOR_get0(&s, &paramType, nullptr, signature);
        return std::make_tuple(OBJ_obj2nid(d), OBJ_obj2nid(s), paramType);
    };
    const Kind& rsa = kKinds[0];
    const Kind& p384 = kKinds[3];
    // RSA: rsaEncryption with NULL, as the fixed contract has always signed.
    EXPECT_EQ(algorithms(Sign(ContextOf(rsa), CertOf(rsa), {})),
              std::make_tuple(NID_sha256, NID_rsaEncryption, V_ASN1_NULL));
    // PSS: its identifier with its parameters.
    EXPECT_EQ(algorithms(Sign(ContextOf(rsa), CertOf(rsa),
                              {.digest = szOID_NIST_sha512, .signatureOid = szOID_RSA_SSA_PSS})),
              std::make_tuple(NID_sha512, NID_rsassaPss, V_ASN1_SEQUENCE));
    // ECDSA: ecdsa-with-SHAxxx, parameters absent, whether named or not.
    EXPECT_EQ(algorithms(Sign(ContextOf(p384), CertOf(p384), {.digest = szOID_NIST_sha384})),
              std::make_tuple(NID_sha384, NID_ecdsa_with_SHA384, V_ASN1_UNDEF));
    EXPECT_EQ(algorithms(Sign(ContextOf(p384), CertOf(p384),
                              {.digest = szOID_NIST_sha512, .signatureOid = szOID_ECDSA_SHA512})),
              std::make_tuple(NID_sha512, NID_ecdsa_with_SHA512, V_ASN1_UNDEF));
}

TEST_F(SignAlgorithms, PssParametersGivenByTheCallerAreCarriedAndHonoured) {
    const Kind& rsa = kKinds[1];
    CRYPT_RSA_SSA_PSS_PARAMETERS params{};
    params.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_NIST_sha384);
    params.MaskGenAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_MGF1);
    params.MaskGenAlgorithm.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_NIST_sha384);
    params.dwSaltLength = 48;
    params.dwTrailerField = PKCS_RSA_SSA_PSS_TRAILER_FIELD_BC;
    DWORD size = 0;
    ASSERT_TRUE(
        CryptEncodeObject(X509_ASN_ENCODING, X509_RSA_SSA_PSS_PARAMETERS, &params, nullptr, &size));
    Bytes der(size);
    ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, X509_RSA_SSA_PSS_PARAMETERS, &params,
                                  der.data(), &size));
    const Bytes sha384 = Tlv(0x30, Join({Oid(szOID_NIST_sha384), Tlv(0x05, {})}));
    EXPECT_EQ(der, Tlv(0x30, Join({Tlv(0xA0, sha384),
                                   Tlv(0xA1, Tlv(0x30, Join({Oid(szOID_RSA_MGF1), sha384}))),
                                   Tlv(0xA2, Tlv(0x02, {48}))})));

    for (const bool detached : {true, false}) {
        const Request r{.digest = szOID_NIST_sha384,
                        .signatureOid = szOID_RSA_SSA_PSS,
                        .signatureParameters = der,
                        .detached = detached};
        const Bytes message = Sign(ContextOf(rsa), CertOf(rsa), r);
        ASSERT_FALSE(message.empty()) << std::hex << GetLastError();
        EXPECT_NE(std::search(message.begin(), message.end(), der.begin(), der.end()),
                  message.end());
        EXPECT_TRUE(OpenSslAccepts(message, CertOf(rsa), kText, detached, false));
    }
    // A salt other than the digest's length is the caller's to choose.
    params.dwSaltLength = 20;
    size = 0;
    ASSERT_TRUE(
        CryptEncodeObject(X509_ASN_ENCODING, X509_RSA_SSA_PSS_PARAMETERS, &params, nullptr, &size));
    Bytes salt20(size);
    ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, X509_RSA_SSA_PSS_PARAMETERS, &params,
                                  salt20.data(), &size));
    const Bytes salted = Sign(ContextOf(rsa), CertOf(rsa),
                              {.digest = szOID_NIST_sha384,
                               .signatureOid = szOID_RSA_SSA_PSS,
                               .signatureParameters = salt20});
    EXPECT_TRUE(OpenSslAccepts(salted, CertOf(rsa), kText, true, false));
    EXPECT_EQ(PlatformVerifies(salted, kText, true), 0u);
}

TEST_F(SignAlgorithms, AnAlgorithmThatDoesNotFitTheKeyOrDigestIsRefused) {
    const Kind& rsa = kKinds[0];
    const Kind& ec = kKinds[2];
    const Bytes sha512Params = [] {
        CRYPT_RSA_SSA_PSS_PARAMETERS p{};
        p.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_NIST_sha512);
        p.MaskGenAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_MGF1);
        p.MaskGenAlgorithm.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_NIST_sha512);
        p.dwSaltLength = 64;
        p.dwTrailerField = PKCS_RSA_SSA_PSS_TRAILER_FIELD_BC;
        Bytes der(64);
        DWORD size = DWORD(der.size());
        CryptEncodeObject(X509_ASN_ENCODING, X509_RSA_SSA_PSS_PARAMETERS, &p, der.data(), &size);
        der.resize(size);
        return der;
    }();
    const struct {
        const char* what;
        const Kind& kind;
        Request request;
        DWORD error;
    } cases[] = {
        {"PSS with an EC key", ec, {.signatureOid = szOID_RSA_SSA_PSS}, NTE_BAD_ALGID},
        {"ECDSA with an RSA key", rsa, {.signatureOid = szOID_ECDSA_SHA256}, NTE_BAD_ALGID},
        {"ECDSA naming another digest", ec, {.signatureOid = szOID_ECDSA_SHA384}, NTE_BAD_ALGID},
        {"PSS parameters of another digest",
         rsa,
         {.signatureOid = szOID_RSA_SSA_PSS, .signatureParameters = sha512Params},
         NTE_BAD_ALGID},
        {"PSS parameters that are no encoding",
         rsa,
         {.signatureOid = szOID_RSA_SSA_PSS, .signatureParameters = {0x30, 0x05, 0x01}},
         CRYPT_E_ASN1_BADTAG},
        {"an unknown algorithm", rsa, {.signatureOid = "1.2.3.4"}, CRYPT_E_UNKNOWN_ALGO},
        {"auxiliary information", rsa, {.aux = &cases}, E_INVALIDARG},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const bool sizeFirst : {true, false}) {
            DWORD error = 0;
            EXPECT_TRUE(
                Sign(ContextOf(c.kind), CertOf(c.kind), c.request, &error, sizeFirst).empty());
            EXPECT_EQ(error, c.error) << std::hex << error;
        }
    }
}

TEST_F(SignAlgorithms, AMessagePreparedForOneAlgorithmIsNotCompletedForAnother) {
    // A size query for PKCS#1 v1.5, then the call with PSS (and the other
    // way round): each message carries what its own call asked for.
    const Kind& rsa = kKinds[0];
    CRYPT_SIGN_MESSAGE_PARA para{};
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    para.pSigningCert = ContextOf(rsa);
    para.HashAlgorithm.pszObjId = const_cast<LPSTR>(szOID_NIST_sha256);
    PCCERT_CONTEXT carried = ContextOf(rsa);
    para.cMsgCert = 1;
    para.rgpMsgCert = &carried;
    const BYTE* pieces[1] = {reinterpret_cast<const BYTE*>(kText.data())};
    DWORD lengths[1] = {DWORD(kText.size())};
    for (const bool pssFirst : {false, true}) {
        SCOPED_TRACE(pssFirst ? "PSS first" : "PKCS#1 first");
        para.HashEncryptionAlgorithm.pszObjId =
            const_cast<LPSTR>(pssFirst ? szOID_RSA_SSA_PSS : nullptr);
        DWORD size = 0;
        ASSERT_TRUE(CryptSignMessage(&para, TRUE, 1, pieces, lengths, nullptr, &size));
        para.HashEncryptionAlgorithm.pszObjId =
            const_cast<LPSTR>(pssFirst ? nullptr : szOID_RSA_SSA_PSS);
        // The other algorithm's identifier has another length: room for it.
        size += 256;
        Bytes message(size);
        ASSERT_TRUE(CryptSignMessage(&para, TRUE, 1, pieces, lengths, message.data(), &size));
        message.resize(size);
        const Bytes pss = Oid(szOID_RSA_SSA_PSS);
        EXPECT_EQ(
            std::search(message.begin(), message.end(), pss.begin(), pss.end()) != message.end(),
            !pssFirst);
        EXPECT_TRUE(OpenSslAccepts(message, CertOf(rsa), kText, true, false));
    }
}

TEST_F(SignAlgorithms, AnEcdsaSignatureShorterThanItsStandInCompletesThePreparedMessage) {
    // ECDSA signatures vary in length: the size query's message holds the
    // longest, and the call writes the real one in: built once at most
    // (with the fast paths off, twice).
    for (const Kind* kind : {&kKinds[2], &kKinds[4]}) {
        std::set<std::size_t> sizes;
        for (int i = 0; i < 12; ++i) {
            SCOPED_TRACE(testing::Message() << kind->name << " #" << i);
            const auto builds = platform::crypt::SignedMessageBuilds();
            const Bytes message = Sign(ContextOf(*kind), CertOf(*kind), {.cades = true});
            ASSERT_FALSE(message.empty());
            // The same form again is copied from the last (no build at all).
            const auto made = platform::crypt::SignedMessageBuilds() - builds;
            if (platform::crypt::FastPaths())
                EXPECT_LE(made, 1u);
            else
                EXPECT_EQ(made, 2u);
            EXPECT_EQ(PlatformVerifies(message, kText, true), 0u);
            sizes.insert(message.size());
            if (i < 2) {
                EXPECT_TRUE(OpenSslAccepts(message, CertOf(*kind), kText, true, true));
            }
        }
        EXPECT_GT(sizes.size(), 1u);  // the lengths did vary
    }
}

TEST_F(SignAlgorithms, AnAttributeEncodesWithItsValuesInOrder) {
    const Bytes b = Tlv(0x04, {2}), a = Tlv(0x04, {1, 1});
    CRYPT_ATTR_BLOB values[2] = {{DWORD(a.size()), const_cast<BYTE*>(a.data())},
                                 {DWORD(b.size()), const_cast<BYTE*>(b.data())}};
    CRYPT_ATTRIBUTE attr{const_cast<LPSTR>(kTimeStampToken), 2, values};
    DWORD size = 0;
    ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, PKCS_ATTRIBUTE, &attr, nullptr, &size));
    Bytes der(size);
    ASSERT_TRUE(CryptEncodeObject(X509_ASN_ENCODING, PKCS_ATTRIBUTE, &attr, der.data(), &size));
    EXPECT_EQ(der, Tlv(0x30, Join({Oid(kTimeStampToken), Tlv(0x31, Join({b, a}))})));

    // A value that is not one whole element is refused.
    const Bytes bad = {0x04, 0x05, 0x01};
    values[0] = {DWORD(bad.size()), const_cast<BYTE*>(bad.data())};
    EXPECT_FALSE(CryptEncodeObject(X509_ASN_ENCODING, PKCS_ATTRIBUTE, &attr, der.data(), &size));
    EXPECT_EQ(GetLastError(), CRYPT_E_BAD_ENCODE);
}

// A message handle over `message`, closed with the test.
struct Decoded {
    explicit Decoded(const Bytes& message) {
        handle = CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
        EXPECT_NE(handle, nullptr);
        EXPECT_TRUE(CryptMsgUpdate(handle, message.data(), DWORD(message.size()), TRUE));
    }
    ~Decoded() { CryptMsgClose(handle); }
    Bytes Param(DWORD type, DWORD* error = nullptr) {
        DWORD size = 0;
        if (!CryptMsgGetParam(handle, type, 0, nullptr, &size)) {
            if (error != nullptr) *error = GetLastError();
            return {};
        }
        Bytes out(size);
        EXPECT_TRUE(CryptMsgGetParam(handle, type, 0, out.data(), &size));
        out.resize(size);
        return out;
    }
    BOOL AddUnsigned(const Bytes& attribute) {
        CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR_PARA para{
            sizeof para, 0, {DWORD(attribute.size()), const_cast<BYTE*>(attribute.data())}};
        return CryptMsgControl(handle, 0, CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR, &para);
    }
    HCRYPTMSG handle = nullptr;
};

TEST_F(SignAlgorithms, TheSignerInfoAndSignatureValueAreReadBack) {
    const Kind& rsa = kKinds[1];
    const Bytes message =
        Sign(ContextOf(rsa), CertOf(rsa),
             {.digest = szOID_NIST_sha384, .signatureOid = szOID_RSA_SSA_PSS, .cades = true});
    Decoded decoded(message);
    Bytes image = decoded.Param(CMSG_SIGNER_INFO_PARAM);
    ASSERT_GE(image.size(), sizeof(CMSG_SIGNER_INFO));
    const auto* info = reinterpret_cast<const CMSG_SIGNER_INFO*>(image.data());
    EXPECT_EQ(info->dwVersion, 1u);
    EXPECT_STREQ(info->HashAlgorithm.pszObjId, szOID_NIST_sha384);
    EXPECT_STREQ(info->HashEncryptionAlgorithm.pszObjId, szOID_RSA_SSA_PSS);
    EXPECT_GT(info->HashEncryptionAlgorithm.Parameters.cbData, 0u);
    // The serial number 00C0FFEE, least significant octet first.
    EXPECT_EQ(
        Bytes(info->SerialNumber.pbData, info->SerialNumber.pbData + info->SerialNumber.cbData),
        (Bytes{0xEE, 0xFF, 0xC0, 0x00}));
    const Bytes issuer =
        platform::crypt::ossl::ToDer(X509_get_issuer_name(CertOf(rsa).cert.get()), i2d_X509_NAME);
    EXPECT_EQ(Bytes(info->Issuer.pbData, info->Issuer.pbData + info->Issuer.cbData), issuer);
    const Bytes signature = decoded.Param(CMSG_ENCRYPTED_DIGEST);
    EXPECT_EQ(signature, SignatureOf(message));
    EXPECT_EQ(
        Bytes(info->EncryptedHash.pbData, info->EncryptedHash.pbData + info->EncryptedHash.cbData),
        signature);
    // content type, message digest, signing time and the ESS attribute.
    ASSERT_EQ(info->AuthAttrs.cAttr, 4u);
    EXPECT_EQ(info->UnauthAttrs.cAttr, 0u);
    bool ess = false;
    for (DWORD i = 0; i < info->AuthAttrs.cAttr; ++i)
        ess = ess || std::string(info->AuthAttrs.rgAttr[i].pszObjId) == kEssSigningCertV2;
    EXPECT_TRUE(ess);
    DWORD error = 0;
    EXPECT_TRUE(decoded.Param(CMSG_SIGNER_UNAUTH_ATTR_PARAM, &error).empty());
    EXPECT_EQ(error, CRYPT_E_ATTRIBUTES_MISSING);
    // A buffer too small is told so, with the size it needs.
    DWORD small = 8;
    Bytes room(small);
    EXPECT_FALSE(CryptMsgGetParam(decoded.handle, CMSG_SIGNER_INFO_PARAM, 0, room.data(), &small));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(small, image.size());
}

TEST_F(SignAlgorithms, UnsignedAttributesAddedKeepTheSignatureValid) {
    for (const bool detached : {true, false})
        for (const Kind* kind : {&kKinds[0], &kKinds[4]}) {
            SCOPED_TRACE(testing::Message()
                         << kind->name << (detached ? " detached" : " attached"));
            const Bytes message =
                Sign(ContextOf(*kind), CertOf(*kind), {.cades = true, .detached = detached});
            Decoded decoded(message);
            // Stand-ins for time-stamp tokens: any value the attribute may hold.
            const Bytes first =
                Tlv(0x30, Join({Oid(kTimeStampToken), Tlv(0x31, Tlv(0x30, Text("x")))}));
            const Bytes second =
                Tlv(0x30, Join({Oid("1.2.3.4"), Tlv(0x31, Tlv(0x04, Bytes(300, 7)))}));
            ASSERT_TRUE(decoded.AddUnsigned(second)) << std::hex << GetLastError();
            ASSERT_TRUE(decoded.AddUnsigned(first)) << std::hex << GetLastError();
            const Bytes grown = decoded.Param(CMSG_ENCODED_MESSAGE);
            ASSERT_GT(grown.size(), message.size() + first.size() + second.size());
            EXPECT_TRUE(OpenSslAccepts(grown, CertOf(*kind), kText, detached, true));
            EXPECT_EQ(PlatformVerifies(grown, kText, detached), 0u);

            const unsigned char* p = grown.data();
            CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, long(grown.size())));
            ASSERT_TRUE(cms);
            CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), 0);
            EXPECT_EQ(CMS_unsigned_get_attr_count(si), 2);

            const Bytes unauth = decoded.Param(CMSG_SIGNER_UNAUTH_ATTR_PARAM);
            const auto* attrs = reinterpret_cast<const CRYPT_ATTRIBUTES*>(unauth.data());
            ASSERT_EQ(attrs->cAttr, 2u);
            // In DER's order: the shorter encoding first, whatever the order added.
            EXPECT_STREQ(attrs->rgAttr[0].pszObjId, kTimeStampToken);
            EXPECT_STREQ(attrs->rgAttr[1].pszObjId, "1.2.3.4");
            ASSERT_EQ(attrs->rgAttr[0].cValue, 1u);
            EXPECT_EQ(
                Bytes(attrs->rgAttr[0].rgValue[0].pbData,
                      attrs->rgAttr[0].rgValue[0].pbData + attrs->rgAttr[0].rgValue[0].cbData),
                Tlv(0x30, Text("x")));
            // The signature value is what it was.
            EXPECT_EQ(decoded.Param(CMSG_ENCRYPTED_DIGEST), SignatureOf(message));
        }
}

TEST_F(SignAlgorithms, AnUnsignedAttributeThatIsNoAttributeOrAMissingSignerIsRefused) {
    const Bytes message = Sign(ContextOf(kKinds[0]), CertOf(kKinds[0]), {});
    Decoded decoded(message);
    EXPECT_FALSE(decoded.AddUnsigned({0x04, 0x01, 0x00}));
    EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_BADTAG);
    EXPECT_FALSE(decoded.AddUnsigned({0x30, 0x05, 0x06}));
    EXPECT_EQ(GetLastError(), CRYPT_E_ASN1_BADTAG);
    const Bytes attr = Tlv(0x30, Join({Oid(kTimeStampToken), Tlv(0x31, Tlv(0x05, {}))}));
    CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR_PARA para{
        sizeof para, 1, {DWORD(attr.size()), const_cast<BYTE*>(attr.data())}};
    EXPECT_FALSE(CryptMsgControl(decoded.handle, 0, CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR, &para));
    EXPECT_EQ(GetLastError(), CRYPT_E_NO_SIGNER);
    // Nothing was changed by the refusals.
    EXPECT_EQ(decoded.Param(CMSG_ENCODED_MESSAGE), message);
}

}  // namespace
