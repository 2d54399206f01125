// The signer's Sign: the options read, the certificate found (or chosen),
// the signed attributes of the format asked for, the message signed with the
// digest and padding asked for, for CAdES-T a time stamp over its signature
// value (SignerTimestamp.cpp), and the result as the signature text.

#include <cstring>
#include <string>
#include <variant>
#include <vector>

#include "chooser/CertFilter.h"
#include "common/StorePositions.h"
#include "control/OstrelSigner.h"
#include "platform/win/LastError.h"
#include "platform/win/Time.h"
#include "platform/win/WinError.h"
#include "signing/Base64.h"
#include "signing/SignerDer.h"
#include "signing/SignerOptions.h"
#include "signing/SignerPipeline.h"

namespace {

constexpr char kSigningCertificateV2Oid[] = "1.2.840.113549.1.9.16.2.47";
constexpr HRESULT kCertExpired = HRESULT(0x800B0101);
constexpr HRESULT kCancelled = HRESULT(0x80070000u | ERROR_CANCELLED);

// What the signer holds open while it signs, let go on every way out.
class Session {
public:
    Session() {
        if (CryptAcquireContextA(&m_prov, nullptr, nullptr, PROV_RSA_FULL, 0) != TRUE &&
            CryptAcquireContextA(&m_prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_NEWKEYSET) != TRUE)
            ThrowLastError("The key container cannot be opened");
        m_store = CertOpenSystemStoreA(m_prov, "MY");
        if (m_store == nullptr) {
            const DWORD code = GetLastError();
            CryptReleaseContext(m_prov, 0);
            SetLastError(code);
            ThrowLastError("The personal certificate store cannot be opened");
        }
    }
    ~Session() {
        if (m_cert != nullptr) CertFreeCertificateContext(m_cert);
        CertCloseStore(m_store, 0);
        CryptReleaseContext(m_prov, 0);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    HCERTSTORE Store() const { return m_store; }
    PCCERT_CONTEXT Certificate() const { return m_cert; }
    void Take(PCCERT_CONTEXT cert) { m_cert = cert; }

private:
    HCRYPTPROV m_prov = 0;
    HCERTSTORE m_store = nullptr;
    PCCERT_CONTEXT m_cert = nullptr;
};

const char* HashOid(SignerDigest digest) {
    switch (digest) {
        case SignerDigest::Sha384:
            return szOID_NIST_sha384;
        case SignerDigest::Sha512:
            return szOID_NIST_sha512;
        default:
            return szOID_NIST_sha256;
    }
}

const char* EcdsaOid(SignerDigest digest) {
    switch (digest) {
        case SignerDigest::Sha384:
            return szOID_ECDSA_SHA384;
        case SignerDigest::Sha512:
            return szOID_ECDSA_SHA512;
        default:
            return szOID_ECDSA_SHA256;
    }
}

DWORD DigestLength(SignerDigest digest) {
    switch (digest) {
        case SignerDigest::Sha384:
            return 48;
        case SignerDigest::Sha512:
            return 64;
        default:
            return 32;
    }
}

bool IsEcKey(PCCERT_CONTEXT cert) {
    const char* oid = cert->pCertInfo->SubjectPublicKeyInfo.Algorithm.pszObjId;
    return oid != nullptr && std::strcmp(oid, szOID_ECC_PUBLIC_KEY) == 0;
}

// The certificate the options name (or the user chooses), held by the session.
void FindCertificate(Session& session, const SignerOptions& options, const char* text) {
    long position = 0;
    if (options.position) {
        position = *options.position;
    } else {
        position = ChooseFilteredPosition(session.Store(), options.filter, text);
        if (position < 0) ThrowSignerError(kCancelled, "No certificate was chosen.");
    }
    PCCERT_CONTEXT cert = CertificateAtPosition(session.Store(), position);
    if (cert == nullptr) {
        if (GetLastError() == DWORD(CRYPT_E_NOT_FOUND))
            ThrowSignerError(HRESULT(E_INVALIDARG), "There is no certificate at position " +
                                                        std::to_string(position) +
                                                        " of the personal store.");
        ThrowLastError("The personal store cannot be read");
    }
    session.Take(cert);
    if (cert->cbCertEncoded == 0 || cert->pCertInfo == nullptr)
        ThrowLastError("The entry at position " + std::to_string(position) +
                       " of the personal store cannot be used");
    const LONG validity = CertVerifyTimeValidity(nullptr, cert->pCertInfo);
    if (validity != 0)
        ThrowSignerError(kCertExpired, "The certificate at position " + std::to_string(position) +
                                           (validity < 0 ? " is not yet valid." : " has expired."));
}

std::vector<BYTE> Encoded(LPCSTR type, const void* value, const char* what) {
    DWORD size = 0;
    if (!CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, type, value, nullptr, &size))
        ThrowLastError(what);
    std::vector<BYTE> out(size);
    if (!CryptEncodeObject(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, type, value, out.data(), &size))
        ThrowLastError(what);
    out.resize(size);
    return out;
}

std::vector<BYTE> SigningTime() {
    SYSTEMTIME now;
    FILETIME time{0, 0};
    GetSystemTime(&now);
    if (!SystemTimeToFileTime(&now, &time)) ThrowLastError("The clock cannot be read");
    return Encoded(szOID_RSA_signingTime, &time, "The signing time cannot be encoded");
}

std::vector<BYTE> SigningCertificate(PCCERT_CONTEXT cert) {
    BYTE hash[32];
    DWORD size = sizeof hash;
    if (!CryptHashCertificate(0, CALG_SHA_256, 0, cert->pbCertEncoded, cert->cbCertEncoded, hash,
                              &size))
        ThrowLastError("The certificate's hash cannot be computed");
    const auto issuerSerial = signer_der::IssuerAndSerialOf(
        std::span<const BYTE>(cert->pbCertEncoded, cert->cbCertEncoded));
    if (!issuerSerial) {
        SetLastError(DWORD(CRYPT_E_ASN1_BADTAG));
        ThrowLastError("The certificate's issuer and serial number cannot be read");
    }
    return signer_der::SigningCertificateV2(std::span<const BYTE>(hash, size), *issuerSerial);
}

std::vector<BYTE> PssParameters(SignerDigest digest) {
    CRYPT_RSA_SSA_PSS_PARAMETERS params;
    std::memset(&params, 0, sizeof params);
    params.HashAlgorithm.pszObjId = const_cast<LPSTR>(HashOid(digest));
    params.MaskGenAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_MGF1);
    params.MaskGenAlgorithm.HashAlgorithm.pszObjId = const_cast<LPSTR>(HashOid(digest));
    params.dwSaltLength = DigestLength(digest);
    params.dwTrailerField = PKCS_RSA_SSA_PSS_TRAILER_FIELD_BC;
    return Encoded(X509_RSA_SSA_PSS_PARAMETERS, &params,
                   "The RSA-PSS parameters cannot be encoded");
}

}  // namespace

BSTR COstrelSigner::Sign(LPCTSTR Text, LPCTSTR Options) {
    const SignerOptionsResult parsed = ParseSignerOptions(Options == nullptr ? "" : Options);
    if (const auto* refusal = std::get_if<std::string>(&parsed))
        ThrowSignerError(HRESULT(E_INVALIDARG), *refusal);
    const SignerOptions& options = std::get<SignerOptions>(parsed);
    const char* content = Text == nullptr ? "" : Text;

    // Where the time stamp will come from is settled before the key is used:
    // without an authority nothing is signed.
    std::string authority;
    if (options.format == SignerFormat::CadesT) authority = TimestampAuthority(options);

    Session session;
    FindCertificate(session, options, content);
    PCCERT_CONTEXT cert = session.Certificate();
    const bool ec = IsEcKey(cert);
    if (ec && options.padding == SignerPadding::Pss)
        ThrowSignerError(HRESULT(E_INVALIDARG),
                         "The padding \"PSS\" is for RSA keys; the chosen certificate has an EC "
                         "key.");

    // Signed attributes: the platform adds the content type and the digest.
    std::vector<BYTE> signingTime = SigningTime();
    std::vector<BYTE> signingCertificate;
    CRYPT_ATTR_BLOB values[2] = {{DWORD(signingTime.size()), signingTime.data()}, {0, nullptr}};
    CRYPT_ATTRIBUTE attributes[2] = {
        {const_cast<LPSTR>(szOID_RSA_signingTime), 1, &values[0]},
        {const_cast<LPSTR>(kSigningCertificateV2Oid), 1, &values[1]},
    };
    DWORD attributeCount = 1;
    if (options.format != SignerFormat::Cms) {
        signingCertificate = SigningCertificate(cert);
        values[1] = {DWORD(signingCertificate.size()), signingCertificate.data()};
        attributeCount = 2;
    }

    std::vector<BYTE> pssParameters;
    CRYPT_SIGN_MESSAGE_PARA para;
    std::memset(&para, 0, sizeof para);
    para.cbSize = sizeof para;
    para.dwMsgEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    para.pSigningCert = cert;
    para.HashAlgorithm.pszObjId = const_cast<LPSTR>(HashOid(options.digest));
    para.cMsgCert = 1;
    para.rgpMsgCert = &cert;
    para.cAuthAttr = attributeCount;
    para.rgAuthAttr = attributes;
    if (ec) {
        para.HashEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(EcdsaOid(options.digest));
    } else if (options.padding == SignerPadding::Pss) {
        pssParameters = PssParameters(options.digest);
        para.HashEncryptionAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_SSA_PSS);
        para.HashEncryptionAlgorithm.Parameters = {DWORD(pssParameters.size()),
                                                   pssParameters.data()};
    }

    const BYTE* pieces[1] = {reinterpret_cast<const BYTE*>(content)};
    DWORD lengths[1] = {static_cast<DWORD>(std::strlen(content))};
    const BOOL detached = options.detached ? TRUE : FALSE;
    DWORD size = 0;
    if (!CryptSignMessage(&para, detached, 1, pieces, lengths, nullptr, &size))
        ThrowLastError("The text cannot be signed");
    std::vector<BYTE> message(size);
    if (!CryptSignMessage(&para, detached, 1, pieces, lengths, message.data(), &size))
        ThrowLastError("The text cannot be signed");
    message.resize(size);

    if (options.format == SignerFormat::CadesT)
        message =
            AddSignatureTimestamp(message, options.detached, HashOid(options.digest), authority);

    return EncodeSignatureText(message.data(), message.size()).AllocSysString();
}
