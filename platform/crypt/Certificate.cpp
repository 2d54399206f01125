#include "platform/crypt/Certificate.h"

#include <algorithm>

#include "platform/win/Time.h"

namespace platform::crypt {
namespace {

std::vector<BYTE> NameDer(const X509_NAME* name) {
    const unsigned char* der = nullptr;
    std::size_t len = 0;
    if (X509_NAME_get0_der(const_cast<X509_NAME*>(name), &der, &len) != 1) return {};
    return std::vector<BYTE>(der, der + len);
}

bool ToFileTime(const ASN1_TIME* t, FILETIME& out) {
    struct tm tm {};
    if (t == nullptr || ASN1_TIME_to_tm(t, &tm) != 1) return false;
    const std::int64_t seconds = timegm(&tm);
    out = platform::win::FileTimeFromUnixSeconds(seconds);
    return true;
}

CRYPTOAPI_BLOB Blob(std::vector<BYTE>& v) {
    return CRYPTOAPI_BLOB{static_cast<DWORD>(v.size()), v.empty() ? nullptr : v.data()};
}

}  // namespace

std::shared_ptr<const Certificate> Certificate::FromX509(X509* x509, ossl::PkeyPtr key) {
    if (x509 == nullptr) return nullptr;
    auto der = ossl::ToDer(x509, i2d_X509);
    if (der.empty() || X509_up_ref(x509) != 1) return nullptr;
    // The decoded certificate is shared rather than decoded again.
    std::shared_ptr<Certificate> cert(new Certificate());
    cert->m_x509.reset(x509);
    cert->m_key = std::move(key);
    cert->m_der = std::move(der);
    if (!cert->Build()) return nullptr;
    return cert;
}

std::shared_ptr<const Certificate> Certificate::OnToken(X509* x509,
                                                        std::shared_ptr<const TokenKey> key) {
    auto made = FromX509(x509);
    if (!made) return nullptr;
    auto cert = std::const_pointer_cast<Certificate>(made);
    cert->m_token = std::move(key);
    return cert;
}

bool Certificate::Build() {
    X509* x = m_x509.get();
    // Serial number: the DER INTEGER content octets, least significant first.
    const ASN1_INTEGER* serial = X509_get0_serialNumber(x);
    auto serialDer = ossl::ToDer(serial, i2d_ASN1_INTEGER);
    if (serialDer.size() < 2) return false;
    std::size_t header = 2;
    if (serialDer[1] & 0x80) header += serialDer[1] & 0x7F;
    if (header > serialDer.size()) return false;
    m_serial.assign(serialDer.rbegin(), serialDer.rend() - std::ptrdiff_t(header));

    m_issuer = NameDer(X509_get_issuer_name(x));
    m_subject = NameDer(X509_get_subject_name(x));

    const X509_ALGOR* sigAlg = nullptr;
    X509_get0_signature(nullptr, &sigAlg, x);
    const ASN1_OBJECT* sigObj = nullptr;
    int ptype = 0;
    const void* pval = nullptr;
    X509_ALGOR_get0(&sigObj, &ptype, &pval, sigAlg);
    m_sigOid = ossl::OidText(sigObj);
    if (ptype != V_ASN1_UNDEF) {
        ossl::Asn1TypePtr param(ASN1_TYPE_new());
        ASN1_TYPE_set1(param.get(), ptype, pval);
        m_sigParams = ossl::ToDer(param.get(), i2d_ASN1_TYPE);
    }

    X509_PUBKEY* pub = X509_get_X509_PUBKEY(x);
    ASN1_OBJECT* keyObj = nullptr;
    const unsigned char* keyBits = nullptr;
    int keyLen = 0;
    X509_ALGOR* keyAlg = nullptr;
    if (X509_PUBKEY_get0_param(&keyObj, &keyBits, &keyLen, &keyAlg, pub) != 1) return false;
    m_keyOid = ossl::OidText(keyObj);
    m_keyBits.assign(keyBits, keyBits + keyLen);
    {
        const ASN1_OBJECT* o = nullptr;
        int kt = 0;
        const void* kv = nullptr;
        X509_ALGOR_get0(&o, &kt, &kv, keyAlg);
        if (kt != V_ASN1_UNDEF) {
            ossl::Asn1TypePtr param(ASN1_TYPE_new());
            ASN1_TYPE_set1(param.get(), kt, kv);
            m_keyParams = ossl::ToDer(param.get(), i2d_ASN1_TYPE);
        }
    }

    const int extCount = X509_get_ext_count(x);
    for (int i = 0; i < extCount; ++i) {
        X509_EXTENSION* ext = X509_get_ext(x, i);
        m_extOids.push_back(ossl::OidText(X509_EXTENSION_get_object(ext)));
        const ASN1_OCTET_STRING* value = X509_EXTENSION_get_data(ext);
        m_extValues.emplace_back(value->data, value->data + value->length);
    }
    for (int i = 0; i < extCount; ++i) {
        X509_EXTENSION* ext = X509_get_ext(x, i);
        m_extensions.push_back(CERT_EXTENSION{m_extOids[std::size_t(i)].data(),
                                              X509_EXTENSION_get_critical(ext) ? TRUE : FALSE,
                                              Blob(m_extValues[std::size_t(i)])});
    }

    m_info.dwVersion = static_cast<DWORD>(X509_get_version(x));
    m_info.SerialNumber = Blob(m_serial);
    m_info.SignatureAlgorithm = {m_sigOid.data(), Blob(m_sigParams)};
    m_info.Issuer = Blob(m_issuer);
    m_info.Subject = Blob(m_subject);
    if (!ToFileTime(X509_get0_notBefore(x), m_info.NotBefore) ||
        !ToFileTime(X509_get0_notAfter(x), m_info.NotAfter))
        return false;
    m_info.SubjectPublicKeyInfo = {
        {m_keyOid.data(), Blob(m_keyParams)},
        {static_cast<DWORD>(m_keyBits.size()), m_keyBits.empty() ? nullptr : m_keyBits.data(), 0}};
    m_info.cExtension = static_cast<DWORD>(m_extensions.size());
    m_info.rgExtension = m_extensions.empty() ? nullptr : m_extensions.data();
    return true;
}

}  // namespace platform::crypt
