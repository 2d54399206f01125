#include <cstring>
#include <vector>

#include "platform/crypt/Certificate.h"
#include "platform/crypt/Ossl.h"
#include "platform/crypt/Tokens.h"
#include "platform/seams/Seams.h"
#include "platform/win/Failure.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

namespace platform::crypt {
namespace {

using SignError = platform::Failure;

const EVP_MD* DigestFor(LPCSTR oid) {
    if (oid == nullptr) return nullptr;
    struct Known {
        const char* oid;
        const EVP_MD* (*md)();
    };
    static const Known kKnown[] = {{szOID_RSA_MD5, EVP_md5},
                                   {szOID_OIWSEC_sha1, EVP_sha1},
                                   {szOID_NIST_sha256, EVP_sha256},
                                   {szOID_NIST_sha384, EVP_sha384},
                                   {szOID_NIST_sha512, EVP_sha512}};
    for (const auto& k : kKnown)
        if (std::strcmp(oid, k.oid) == 0) return k.md();
    return nullptr;
}

// One attribute of the caller's, its values given as DER.
ossl::X509AttributePtr MakeAttribute(const CRYPT_ATTRIBUTE& given) {
    if (given.pszObjId == nullptr || (given.cValue > 0 && given.rgValue == nullptr))
        throw SignError(E_INVALIDARG);
    ossl::Asn1ObjectPtr obj(OBJ_txt2obj(given.pszObjId, 1));
    if (!obj) throw SignError(E_INVALIDARG);
    ossl::X509AttributePtr attr(X509_ATTRIBUTE_new());
    if (!attr || X509_ATTRIBUTE_set1_object(attr.get(), obj.get()) != 1)
        throw SignError(NTE_NO_MEMORY);
    for (DWORD i = 0; i < given.cValue; ++i) {
        const CRYPT_ATTR_BLOB& blob = given.rgValue[i];
        if (blob.pbData == nullptr || blob.cbData == 0) throw SignError(E_INVALIDARG);
        const unsigned char* p = blob.pbData;
        ossl::Asn1TypePtr value(d2i_ASN1_TYPE(nullptr, &p, static_cast<long>(blob.cbData)));
        if (!value || p != blob.pbData + blob.cbData) throw SignError(CRYPT_E_BAD_ENCODE);
        int yes = 1;
        const void* data = value->type == V_ASN1_BOOLEAN
                               ? (value->value.boolean ? static_cast<const void*>(&yes) : nullptr)
                               : static_cast<const void*>(value->value.ptr);
        if (X509_ATTRIBUTE_set1_data(attr.get(), value->type, data, -1) != 1)
            throw SignError(CRYPT_E_BAD_ENCODE);
    }
    return attr;
}

void PushAttributes(STACK_OF(X509_ATTRIBUTE) * *stack, DWORD count, const CRYPT_ATTRIBUTE* given) {
    if (count > 0 && given == nullptr) throw SignError(E_INVALIDARG);
    for (DWORD i = 0; i < count; ++i) {
        auto attr = MakeAttribute(given[i]);
        if (*stack == nullptr) *stack = sk_X509_ATTRIBUTE_new_null();
        if (*stack == nullptr || sk_X509_ATTRIBUTE_push(*stack, attr.get()) == 0)
            throw SignError(NTE_NO_MEMORY);
        attr.release();
    }
}

bool HasAttribute(DWORD count, const CRYPT_ATTRIBUTE* given, const char* oid) {
    for (DWORD i = 0; i < count; ++i)
        if (given[i].pszObjId != nullptr && std::strcmp(given[i].pszObjId, oid) == 0) return true;
    return false;
}

struct Content {
    DWORD pieces;
    const BYTE** data;
    const DWORD* lengths;
};

std::vector<unsigned char> Digest(const EVP_MD* md, const Content& content) {
    ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
    std::vector<unsigned char> out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) throw SignError(NTE_FAIL);
    for (DWORD i = 0; i < content.pieces; ++i)
        if (content.lengths[i] > 0 &&
            EVP_DigestUpdate(ctx.get(), content.data[i], content.lengths[i]) != 1)
            throw SignError(NTE_FAIL);
    if (EVP_DigestFinal_ex(ctx.get(), out.data(), &n) != 1) throw SignError(NTE_FAIL);
    out.resize(n);
    return out;
}

// The DER DigestInfo of a digest: what an RSA signature of PKCS#1 v1.5 signs.
std::vector<BYTE> DigestInfo(const EVP_MD* md, const std::vector<unsigned char>& digest) {
    using SigPtr = std::unique_ptr<X509_SIG, ossl::Deleter<X509_SIG_free>>;
    SigPtr info(X509_SIG_new());
    X509_ALGOR* algorithm = nullptr;
    ASN1_OCTET_STRING* value = nullptr;
    if (!info) throw SignError(NTE_NO_MEMORY);
    X509_SIG_getm(info.get(), &algorithm, &value);
    if (X509_ALGOR_set0(algorithm, OBJ_nid2obj(EVP_MD_get_type(md)), V_ASN1_NULL, nullptr) != 1 ||
        ASN1_OCTET_STRING_set(value, digest.data(), static_cast<int>(digest.size())) != 1)
        throw SignError(NTE_NO_MEMORY);
    auto der = ossl::ToDer(info.get(), i2d_X509_SIG);
    if (der.empty()) throw SignError(CRYPT_E_BAD_ENCODE);
    return der;
}

// Signs the signer info's authenticated attributes with the key on a token:
// the same bytes PKCS7_SIGNER_INFO_sign signs (the attributes' DER as a SET
// OF), only the signature value comes from the token.
void SignAttributesOnToken(PKCS7_SIGNER_INFO* si, const EVP_MD* md, const Certificate& signer) {
    unsigned char* attributes = nullptr;
    const int n = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &attributes,
                                ASN1_ITEM_rptr(PKCS7_ATTR_SIGN));
    if (n <= 0 || attributes == nullptr) throw SignError(CRYPT_E_BAD_ENCODE);
    std::vector<unsigned char> digest(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    const int ok = EVP_Digest(attributes, std::size_t(n), digest.data(), &length, md, nullptr);
    OPENSSL_free(attributes);
    if (ok != 1) throw SignError(NTE_FAIL);
    digest.resize(length);
    const auto signature = SignWithTokenKey(signer, DigestInfo(md, digest));
    ASN1_STRING_set(si->enc_digest, signature.data(), static_cast<int>(signature.size()));
}

// The encoded message. With `sign` false nothing is hashed or signed: the
// signature and digest are stand-ins of their full size, which is all a size
// query needs and spares it the private-key operation.
std::vector<unsigned char> BuildMessage(const CRYPT_SIGN_MESSAGE_PARA& para, bool detached,
                                        const Content& content, bool sign) {
    auto signer = CertificateOf(para.pSigningCert);
    if (!signer) throw SignError(E_INVALIDARG);
    // A key on a token stays there: the certificate's public key names the
    // algorithm in the message, and the token makes the signature value.
    const bool onToken = signer->PrivateKey() == nullptr && signer->Token() != nullptr;
    EVP_PKEY* key = onToken ? X509_get0_pubkey(signer->X509Cert()) : signer->PrivateKey();
    if (key == nullptr) throw SignError(CRYPT_E_NO_KEY_PROPERTY);
    const EVP_MD* md = DigestFor(para.HashAlgorithm.pszObjId);
    if (md == nullptr) throw SignError(CRYPT_E_UNKNOWN_ALGO);
    if (para.cMsgCrl > 0) throw SignError(E_INVALIDARG);  // no revocation lists are kept
    if (para.cMsgCert > 0 && para.rgpMsgCert == nullptr) throw SignError(E_INVALIDARG);
    if (para.dwInnerContentType != 0) throw SignError(CRYPT_E_INVALID_MSG_TYPE);

    ossl::Pkcs7Ptr p7(PKCS7_new());
    if (!p7 || PKCS7_set_type(p7.get(), NID_pkcs7_signed) != 1 ||
        PKCS7_content_new(p7.get(), NID_pkcs7_data) != 1)
        throw SignError(NTE_NO_MEMORY);
    PKCS7_SIGNER_INFO* si = PKCS7_add_signature(p7.get(), signer->X509Cert(), key, md);
    if (si == nullptr) {
        platform::crypt::ossl::DropErrors();
        throw SignError(NTE_BAD_KEY);
    }
    for (DWORD i = 0; i < para.cMsgCert; ++i) {
        auto cert = CertificateOf(para.rgpMsgCert[i]);
        if (!cert) throw SignError(E_INVALIDARG);
        // A certificate only the platform's own reader takes (one that came
        // with a verified message) has no form OpenSSL can carry.
        X509* x509 = cert->X509Cert();
        if (x509 == nullptr) throw SignError(CRYPT_E_ASN1_BADTAG);
        if (PKCS7_add_certificate(p7.get(), x509) != 1) throw SignError(NTE_NO_MEMORY);
    }

    const auto digestSize = static_cast<std::size_t>(EVP_MD_get_size(md));
    std::vector<unsigned char> signature;
    if (para.cAuthAttr > 0) {
        if (para.rgAuthAttr == nullptr) throw SignError(E_INVALIDARG);
        // The standard asks for the content type and the digest among the
        // authenticated attributes whenever there are any.
        if (!HasAttribute(para.cAuthAttr, para.rgAuthAttr, szOID_RSA_contentType) &&
            PKCS7_add_signed_attribute(si, NID_pkcs9_contentType, V_ASN1_OBJECT,
                                       OBJ_nid2obj(NID_pkcs7_data)) != 1)
            throw SignError(NTE_NO_MEMORY);
        PushAttributes(&si->auth_attr, para.cAuthAttr, para.rgAuthAttr);
        const auto digest = sign ? Digest(md, content) : std::vector<unsigned char>(digestSize);
        if (PKCS7_add1_attrib_digest(si, digest.data(), static_cast<int>(digest.size())) != 1)
            throw SignError(NTE_NO_MEMORY);
        if (sign && onToken) {
            SignAttributesOnToken(si, md, *signer);
        } else if (sign && PKCS7_SIGNER_INFO_sign(si) != 1) {
            platform::crypt::ossl::DropErrors();
            throw SignError(NTE_BAD_KEY);
        }
    } else if (sign && onToken) {
        signature = SignWithTokenKey(*signer, DigestInfo(md, Digest(md, content)));
        ASN1_STRING_set(si->enc_digest, signature.data(), static_cast<int>(signature.size()));
    } else if (sign) {
        ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
        std::size_t n = 0;
        if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, key) != 1)
            throw SignError(NTE_BAD_KEY);
        for (DWORD i = 0; i < content.pieces; ++i)
            if (content.lengths[i] > 0 &&
                EVP_DigestSignUpdate(ctx.get(), content.data[i], content.lengths[i]) != 1)
                throw SignError(NTE_FAIL);
        if (EVP_DigestSignFinal(ctx.get(), nullptr, &n) != 1) throw SignError(NTE_FAIL);
        signature.resize(n);
        if (EVP_DigestSignFinal(ctx.get(), signature.data(), &n) != 1) throw SignError(NTE_FAIL);
        signature.resize(n);
        ASN1_STRING_set(si->enc_digest, signature.data(), static_cast<int>(signature.size()));
    }
    if (!sign) {
        signature.assign(static_cast<std::size_t>(EVP_PKEY_get_size(key)), 0);
        ASN1_STRING_set(si->enc_digest, signature.data(), static_cast<int>(signature.size()));
    }
    PushAttributes(&si->unauth_attr, para.cUnauthAttr, para.rgUnauthAttr);

    if (detached) {
        PKCS7_set_detached(p7.get(), 1);
    } else {
        std::vector<unsigned char> whole;
        for (DWORD i = 0; i < content.pieces; ++i)
            whole.insert(whole.end(), content.data[i], content.data[i] + content.lengths[i]);
        ASN1_OCTET_STRING* os = p7->d.sign->contents->d.data;
        if (os == nullptr ||
            ASN1_OCTET_STRING_set(os, whole.data(), static_cast<int>(whole.size())) != 1)
            throw SignError(NTE_NO_MEMORY);
    }
    auto der = ossl::ToDer(p7.get(), i2d_PKCS7);
    if (der.empty()) {
        platform::crypt::ossl::DropErrors();
        throw SignError(CRYPT_E_BAD_ENCODE);
    }
    return der;
}

}  // namespace
}  // namespace platform::crypt

using namespace platform::crypt;

BOOL CryptSignMessage(PCRYPT_SIGN_MESSAGE_PARA pSignPara, BOOL fDetachedSignature,
                      DWORD cToBeSigned, const BYTE* rgpbToBeSigned[], DWORD rgcbToBeSigned[],
                      BYTE* pbSignedBlob, DWORD* pcbSignedBlob) {
    const auto trace = pbSignedBlob == nullptr ? "CryptSignMessage size" : "CryptSignMessage";
    return platform::GuardedCall("CryptSignMessage", trace, [&] {
        if (pSignPara == nullptr || pcbSignedBlob == nullptr ||
            pSignPara->cbSize < sizeof(CRYPT_SIGN_MESSAGE_PARA) ||
            (cToBeSigned > 0 && (rgpbToBeSigned == nullptr || rgcbToBeSigned == nullptr)))
            throw SignError(E_INVALIDARG);
        if ((pSignPara->dwMsgEncodingType & PKCS_7_ASN_ENCODING) == 0)
            throw SignError(CRYPT_E_UNKNOWN_ALGO);
        for (DWORD i = 0; i < cToBeSigned; ++i)
            if (rgpbToBeSigned[i] == nullptr && rgcbToBeSigned[i] > 0)
                throw SignError(E_INVALIDARG);
        // Whatever happens, nothing of OpenSSL's errors stays behind.
        struct Drop {
            ~Drop() { ossl::DropErrors(); }
        } drop;
        const Content content{cToBeSigned, rgpbToBeSigned, rgcbToBeSigned};
        const bool sizeQuery = pbSignedBlob == nullptr;
        const auto der = BuildMessage(*pSignPara, fDetachedSignature != FALSE, content, !sizeQuery);
        return platform::HandOut(der, pbSignedBlob, pcbSignedBlob);
    });
}
