#include "platform/crypt/SignMessage.h"

#include <openssl/rsa.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/crypt/Certificate.h"
#include "platform/crypt/Der.h"
#include "platform/crypt/Encode.h"
#include "platform/crypt/FastPaths.h"
#include "platform/crypt/Ossl.h"
#include "platform/crypt/Tokens.h"
#include "platform/seams/Seams.h"
#include "platform/win/Failure.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

namespace platform::crypt {
namespace {

using SignError = platform::Failure;

thread_local std::uint64_t t_builds = 0;

// The digests a message may name. Each is fetched from the providers once:
// OpenSSL looks a digest named by its old constant up anew on every use.
const EVP_MD* DigestFor(LPCSTR oid) {
    if (oid == nullptr) return nullptr;
    struct Known {
        const char* oid;
        const char* name;
        const EVP_MD* (*md)();
    };
    static const Known kKnown[] = {{szOID_RSA_MD5, "MD5", EVP_md5},
                                   {szOID_OIWSEC_sha1, "SHA1", EVP_sha1},
                                   {szOID_NIST_sha256, "SHA2-256", EVP_sha256},
                                   {szOID_NIST_sha384, "SHA2-384", EVP_sha384},
                                   {szOID_NIST_sha512, "SHA2-512", EVP_sha512}};
    // Kept for the life of the process, in storage that outlives every
    // destructor (so the leak checker still sees them held at exit); where
    // the providers do not offer a digest, the old constant says so when it
    // is used.
    static const auto fetched = [] {
        std::array<const EVP_MD*, std::size(kKnown)> mds{};
        for (std::size_t i = 0; i < mds.size(); ++i) {
            const EVP_MD* md = EVP_MD_fetch(nullptr, kKnown[i].name, nullptr);
            mds[i] = md != nullptr ? md : kKnown[i].md();
        }
        ossl::DropErrors();
        return mds;
    }();
    for (std::size_t i = 0; i < std::size(kKnown); ++i)
        if (std::strcmp(oid, kKnown[i].oid) == 0) return fetched[i];
    return nullptr;
}

// The signature algorithm of a message: what the signer names, for its key.
enum class Scheme { RsaPkcs1, RsaPss, Ecdsa };

struct Algorithm {
    Scheme scheme = Scheme::RsaPkcs1;
    std::vector<BYTE> pssParameters;  // DER RSASSA-PSS-params, carried as the message has them
    int saltLength = 0;
};

// Whether the record is long enough to name a signature algorithm.
bool NamesAlgorithm(const CRYPT_SIGN_MESSAGE_PARA& para) {
    return para.cbSize >= offsetof(CRYPT_SIGN_MESSAGE_PARA, pvHashEncryptionAuxInfo);
}

bool IsOid(LPCSTR given, const char* oid) {
    return given != nullptr && std::strcmp(given, oid) == 0;
}

using PssParamsPtr = std::unique_ptr<RSA_PSS_PARAMS, ossl::Deleter<RSA_PSS_PARAMS_free>>;

// The digest an AlgorithmIdentifier of the PSS parameters names; SHA-1 when absent.
int DigestNidOf(const X509_ALGOR* alg) {
    if (alg == nullptr) return NID_sha1;
    const ASN1_OBJECT* obj = nullptr;
    X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
    return OBJ_obj2nid(obj);
}

// The caller's RSASSA-PSS parameters: the signer's digest for the hash and
// for MGF1, any salt length; anything else is refused.
int PssSaltLength(const CRYPT_OBJID_BLOB& given, const EVP_MD* md) {
    const unsigned char* p = given.pbData;
    PssParamsPtr pss(d2i_RSA_PSS_PARAMS(nullptr, &p, long(given.cbData)));
    if (!pss || p != given.pbData + given.cbData) throw SignError(CRYPT_E_ASN1_BADTAG);
    const int mdNid = EVP_MD_get_type(md);
    if (DigestNidOf(pss->hashAlgorithm) != mdNid) throw SignError(NTE_BAD_ALGID);
    int mgfHash = NID_sha1;
    if (pss->maskGenAlgorithm != nullptr) {
        const ASN1_OBJECT* mgf = nullptr;
        int type = 0;
        const void* value = nullptr;
        X509_ALGOR_get0(&mgf, &type, &value, pss->maskGenAlgorithm);
        if (OBJ_obj2nid(mgf) != NID_mgf1 || type != V_ASN1_SEQUENCE) throw SignError(NTE_BAD_ALGID);
        const auto* seq = static_cast<const ASN1_STRING*>(value);
        const unsigned char* q = ASN1_STRING_get0_data(seq);
        std::unique_ptr<X509_ALGOR, ossl::Deleter<X509_ALGOR_free>> hash(
            d2i_X509_ALGOR(nullptr, &q, ASN1_STRING_length(seq)));
        if (!hash) throw SignError(CRYPT_E_ASN1_BADTAG);
        mgfHash = DigestNidOf(hash.get());
    }
    if (mgfHash != mdNid) throw SignError(NTE_BAD_ALGID);
    long salt = 20;
    if (pss->saltLength != nullptr) salt = ASN1_INTEGER_get(pss->saltLength);
    if (salt < 0 || salt > 1024) throw SignError(NTE_BAD_ALGID);
    if (pss->trailerField != nullptr && ASN1_INTEGER_get(pss->trailerField) != 1)
        throw SignError(NTE_BAD_ALGID);
    return int(salt);
}

// The signature algorithm the call names for `key` (the signer's private key,
// or its certificate's public key for a key on a token) and digest `md`.
// None named: the key's own, RSA PKCS#1 v1.5 or ECDSA.
Algorithm AlgorithmFor(const CRYPT_SIGN_MESSAGE_PARA& para, EVP_PKEY* key, const EVP_MD* md) {
    const int type = EVP_PKEY_get_base_id(key);
    const bool rsa = type == EVP_PKEY_RSA, ec = type == EVP_PKEY_EC;
    const CRYPT_ALGORITHM_IDENTIFIER none{};
    const CRYPT_ALGORITHM_IDENTIFIER& named =
        NamesAlgorithm(para) ? para.HashEncryptionAlgorithm : none;
    if (para.cbSize >= sizeof(CRYPT_SIGN_MESSAGE_PARA) && para.pvHashEncryptionAuxInfo != nullptr)
        throw SignError(E_INVALIDARG);
    const LPCSTR oid = named.pszObjId;
    Algorithm out;
    if (oid == nullptr || *oid == '\0') {
        // A key of another kind is refused when the message is put together.
        out.scheme = ec ? Scheme::Ecdsa : Scheme::RsaPkcs1;
        return out;
    }
    if (IsOid(oid, szOID_RSA_RSA)) {
        if (!rsa) throw SignError(NTE_BAD_ALGID);
        return out;
    }
    if (IsOid(oid, szOID_RSA_SSA_PSS)) {
        if (!rsa) throw SignError(NTE_BAD_ALGID);
        out.scheme = Scheme::RsaPss;
        const int mdLength = EVP_MD_get_size(md);
        if (named.Parameters.cbData == 0) {
            const char* mdOid = EVP_MD_get_type(md) == NID_sha256   ? szOID_NIST_sha256
                                : EVP_MD_get_type(md) == NID_sha384 ? szOID_NIST_sha384
                                : EVP_MD_get_type(md) == NID_sha512 ? szOID_NIST_sha512
                                : EVP_MD_get_type(md) == NID_sha1   ? szOID_OIWSEC_sha1
                                                                    : nullptr;
            if (mdOid == nullptr) throw SignError(NTE_BAD_ALGID);
            out.pssParameters = DefaultPssParameters(mdOid, DWORD(mdLength));
            out.saltLength = mdLength;
        } else {
            if (named.Parameters.pbData == nullptr) throw SignError(E_INVALIDARG);
            out.saltLength = PssSaltLength(named.Parameters, md);
            out.pssParameters.assign(named.Parameters.pbData,
                                     named.Parameters.pbData + named.Parameters.cbData);
        }
        return out;
    }
    const struct {
        const char* oid;
        int mdNid;
    } kEcdsa[] = {{szOID_ECC_PUBLIC_KEY, NID_undef},
                  {szOID_ECDSA_SHA256, NID_sha256},
                  {szOID_ECDSA_SHA384, NID_sha384},
                  {szOID_ECDSA_SHA512, NID_sha512}};
    for (const auto& known : kEcdsa) {
        if (!IsOid(oid, known.oid)) continue;
        if (!ec) throw SignError(NTE_BAD_ALGID);
        // The identifier names the digest too: it must be the signer's.
        if (known.mdNid != NID_undef && known.mdNid != EVP_MD_get_type(md))
            throw SignError(NTE_BAD_ALGID);
        out.scheme = Scheme::Ecdsa;
        return out;
    }
    throw SignError(CRYPT_E_UNKNOWN_ALGO);
}

// A signature over a digest with a key in memory, by the algorithm's rules:
// the same bytes EVP_DigestSign makes over the data.
std::vector<unsigned char> SignDigestWith(EVP_PKEY* key, const Algorithm& alg, const EVP_MD* md,
                                          const std::vector<unsigned char>& digest) {
    ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1)
        throw SignError(NTE_BAD_KEY);
    if (alg.scheme == Scheme::RsaPkcs1 &&
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1)
        throw SignError(NTE_BAD_KEY);
    if (alg.scheme == Scheme::RsaPss &&
        (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PSS_PADDING) != 1 ||
         EVP_PKEY_CTX_set_rsa_mgf1_md(ctx.get(), md) != 1 ||
         EVP_PKEY_CTX_set_rsa_pss_saltlen(ctx.get(), alg.saltLength) != 1))
        throw SignError(NTE_BAD_KEY);
    std::size_t length = 0;
    if (EVP_PKEY_sign(ctx.get(), nullptr, &length, digest.data(), digest.size()) != 1)
        throw SignError(NTE_BAD_KEY);
    std::vector<unsigned char> signature(length);
    if (EVP_PKEY_sign(ctx.get(), signature.data(), &length, digest.data(), digest.size()) != 1)
        throw SignError(NTE_BAD_KEY);
    signature.resize(length);
    return signature;
}

std::vector<BYTE> DigestInfo(const EVP_MD* md, const std::vector<unsigned char>& digest);

// The same with the key on a token: the request its mechanism takes.
std::vector<unsigned char> SignDigestOnToken(const Certificate& signer, const Algorithm& alg,
                                             const EVP_MD* md,
                                             const std::vector<unsigned char>& digest) {
    TokenSignRequest request{TokenMechanism::RsaPkcs, {}, 0};
    switch (alg.scheme) {
        case Scheme::RsaPkcs1:
            request.input = DigestInfo(md, digest);
            break;
        case Scheme::RsaPss:
            // The token salts with as many octets as the digest has.
            if (alg.saltLength != EVP_MD_get_size(md)) throw SignError(NTE_NOT_SUPPORTED);
            request = {TokenMechanism::RsaPss, digest, EVP_MD_get_type(md)};
            break;
        case Scheme::Ecdsa:
            request = {TokenMechanism::Ecdsa, digest, EVP_MD_get_type(md)};
            break;
    }
    return SignWithTokenKey(signer, request);
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

// Signs the signer info's authenticated attributes with the key on a token,
// or by an algorithm other than RSA PKCS#1 v1.5: the same bytes
// PKCS7_SIGNER_INFO_sign signs (the attributes' DER as a SET OF, which puts
// them in order), only the signature value is made here.
void SignAttributes(PKCS7_SIGNER_INFO* si, const EVP_MD* md, const Certificate& signer,
                    bool onToken, const Algorithm& alg) {
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
    const auto signature = onToken ? SignDigestOnToken(signer, alg, md, digest)
                                   : SignDigestWith(signer.PrivateKey(), alg, md, digest);
    if (ASN1_STRING_set(si->enc_digest, signature.data(), static_cast<int>(signature.size())) != 1)
        throw SignError(NTE_NO_MEMORY);
}

// Puts the authenticated attributes in the order of their encodings, as a
// signature over them does: the message carries them in that order, as the
// signature covered them.
void SortAttributes(PKCS7_SIGNER_INFO* si) {
    unsigned char* sorted = nullptr;
    const int n = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &sorted,
                                ASN1_ITEM_rptr(PKCS7_ATTR_SIGN));
    OPENSSL_free(sorted);
    if (n <= 0) throw SignError(CRYPT_E_BAD_ENCODE);
}

// The encoded message. With `sign` false nothing is hashed or signed: the
// signature and digest are stand-ins of their full size, which is all a size
// query needs and spares it the private-key operation. `made`, when given, is
// the signature value to carry instead of making one.
std::vector<unsigned char> BuildMessage(const CRYPT_SIGN_MESSAGE_PARA& para, bool detached,
                                        const Content& content, bool sign,
                                        const std::vector<unsigned char>* made = nullptr) {
    ++t_builds;
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
    const Algorithm alg = AlgorithmFor(para, key, md);
    PKCS7_SIGNER_INFO* si = PKCS7_add_signature(p7.get(), signer->X509Cert(), key, md);
    if (si == nullptr) {
        platform::crypt::ossl::DropErrors();
        throw SignError(NTE_BAD_KEY);
    }
    if (alg.scheme == Scheme::RsaPss) {
        std::unique_ptr<ASN1_STRING, ossl::Deleter<ASN1_STRING_free>> params(ASN1_STRING_new());
        if (!params ||
            ASN1_STRING_set(params.get(), alg.pssParameters.data(),
                            int(alg.pssParameters.size())) != 1 ||
            X509_ALGOR_set0(si->digest_enc_alg, OBJ_nid2obj(NID_rsassaPss), V_ASN1_SEQUENCE,
                            params.get()) != 1)
            throw SignError(NTE_NO_MEMORY);
        params.release();
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
        if (!sign || made != nullptr) SortAttributes(si);
        if (sign && made != nullptr) {
            if (ASN1_STRING_set(si->enc_digest, made->data(), static_cast<int>(made->size())) != 1)
                throw SignError(NTE_NO_MEMORY);
        } else if (sign && (onToken || alg.scheme != Scheme::RsaPkcs1)) {
            SignAttributes(si, md, *signer, onToken, alg);
        } else if (sign && PKCS7_SIGNER_INFO_sign(si) != 1) {
            platform::crypt::ossl::DropErrors();
            throw SignError(NTE_BAD_KEY);
        }
    } else if (sign && made != nullptr) {
        signature = *made;
        ASN1_STRING_set(si->enc_digest, signature.data(), static_cast<int>(signature.size()));
    } else if (sign && onToken) {
        signature = SignDigestOnToken(*signer, alg, md, Digest(md, content));
        ASN1_STRING_set(si->enc_digest, signature.data(), static_cast<int>(signature.size()));
    } else if (sign && alg.scheme != Scheme::RsaPkcs1) {
        signature = SignDigestWith(key, alg, md, Digest(md, content));
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

// Where a message built with stand-ins holds them (offsets into its DER), so
// that the message can be completed by writing the real values over them.
struct Layout {
    bool attributes = false;
    std::size_t digestAt = 0;               // the messageDigest attribute's value
    std::size_t attrsAt = 0, attrsEnd = 0;  // the authenticated attributes, [0]
    std::size_t signatureAt = 0, signatureLength = 0;
};

// The layout of a message BuildMessage made: one signer, whose signature
// value has `signatureLength` octets and whose authenticated attributes (when
// present) hold exactly one message digest of `digestLength` octets. Nothing
// when the message is not of that form, and the caller builds it anew.
std::optional<Layout> FindLayout(const std::vector<unsigned char>& message,
                                 std::size_t digestLength, std::size_t signatureLength) {
    using namespace der;
    static const BYTE kDigestOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x09, 0x04};
    const BYTE* base = message.data();
    const auto at = [base](const BYTE* p) { return std::size_t(p - base); };
    Element info, explicitData, signedData, e;
    if (Reader(Bytes(message)).Next(info) != Status::Ok || !info.IsUniversal(kSequence, true))
        return std::nullopt;
    Reader inInfo = Reader::Inside(info, false);
    if (inInfo.Next(e) != Status::Ok || inInfo.Next(explicitData) != Status::Ok ||
        !explicitData.Is(kContext, 0, true))
        return std::nullopt;
    if (Reader::Inside(explicitData, false).Next(signedData) != Status::Ok ||
        !signedData.IsUniversal(kSequence, true))
        return std::nullopt;
    // The signer infos are the last element of the signed data.
    Element signerInfos;
    Reader inSigned = Reader::Inside(signedData, false);
    Status status;
    while ((status = inSigned.Next(e)) == Status::Ok) signerInfos = e;
    if (status != Status::End || !signerInfos.IsUniversal(kSet, true)) return std::nullopt;
    Element signerInfo;
    Reader inInfos = Reader::Inside(signerInfos, false);
    if (inInfos.Next(signerInfo) != Status::Ok || !signerInfo.IsUniversal(kSequence, true) ||
        !inInfos.AtEnd())
        return std::nullopt;

    Layout layout;
    Reader fields = Reader::Inside(signerInfo, false);
    for (int skip = 0; skip < 3; ++skip)  // version, issuer and serial, digest algorithm
        if (fields.Next(e) != Status::Ok) return std::nullopt;
    if (fields.Next(e) != Status::Ok) return std::nullopt;
    if (e.Is(kContext, 0, true)) {
        layout.attributes = true;
        layout.attrsAt = at(e.begin);
        layout.attrsEnd = at(e.end);
        // The attributes are signed in the order of their encoding; the
        // digest's value could change that order only where another
        // attribute matched it up to the value, which only a second message
        // digest could.
        int digests = 0;
        Reader attrs = Reader::Inside(e, false);
        Element attr;
        while ((status = attrs.Next(attr)) == Status::Ok) {
            Element oid, values, value;
            Reader parts = Reader::Inside(attr, false);
            if (parts.Next(oid) != Status::Ok || !oid.IsUniversal(kOid, false)) return std::nullopt;
            const auto id = oid.Content();
            if (!std::equal(id.begin(), id.end(), std::begin(kDigestOid), std::end(kDigestOid)))
                continue;
            ++digests;
            if (parts.Next(values) != Status::Ok || !values.IsUniversal(kSet, true))
                return std::nullopt;
            Reader inValues = Reader::Inside(values, false);
            if (inValues.Next(value) != Status::Ok || !value.IsUniversal(kOctetString, false) ||
                !inValues.AtEnd() || value.Content().size() != digestLength)
                return std::nullopt;
            layout.digestAt = at(value.content);
        }
        if (status != Status::End || digests != 1) return std::nullopt;
        if (fields.Next(e) != Status::Ok) return std::nullopt;  // the signature algorithm
    }
    if (fields.Next(e) != Status::Ok || !e.IsUniversal(kOctetString, false) ||
        e.Content().size() != signatureLength)
        return std::nullopt;
    layout.signatureAt = at(e.content);
    layout.signatureLength = signatureLength;
    return layout;
}

void AppendNumber(std::string& out, std::uint64_t n) {
    out.append(reinterpret_cast<const char*>(&n), sizeof n);
}

// Bytes the call gives, refused as the full build refuses them.
void AppendBytes(std::string& out, const void* data, std::size_t length) {
    if (length > 0 && data == nullptr) throw SignError(E_INVALIDARG);
    AppendNumber(out, length);
    if (length > 0) out.append(static_cast<const char*>(data), length);
}

// The attributes; with `values` false, only the length of each value.
void AppendAttributes(std::string& out, DWORD count, const CRYPT_ATTRIBUTE* given,
                      bool values = true) {
    if (count > 0 && given == nullptr) throw SignError(E_INVALIDARG);
    AppendNumber(out, count);
    for (DWORD i = 0; i < count; ++i) {
        if (given[i].pszObjId == nullptr || (given[i].cValue > 0 && given[i].rgValue == nullptr))
            throw SignError(E_INVALIDARG);
        AppendBytes(out, given[i].pszObjId, std::strlen(given[i].pszObjId));
        AppendNumber(out, given[i].cValue);
        for (DWORD v = 0; v < given[i].cValue; ++v) {
            const CRYPT_ATTR_BLOB& value = given[i].rgValue[v];
            if (values) {
                AppendBytes(out, value.pbData, value.cbData);
            } else {
                if (value.cbData > 0 && value.pbData == nullptr) throw SignError(E_INVALIDARG);
                AppendNumber(out, value.cbData);
            }
        }
    }
}

// Everything of a call that its message depends on, but for the certificates
// (compared as objects) and, for a detached message, the content: as bytes to
// compare. With `authValues` false, the authenticated attributes' values
// count only by their lengths.
std::string CallInputs(const CRYPT_SIGN_MESSAGE_PARA& para, bool detached, const Content& content,
                       bool authValues = true) {
    std::string out;
    const char* oid = para.HashAlgorithm.pszObjId != nullptr ? para.HashAlgorithm.pszObjId : "";
    AppendBytes(out, oid, std::strlen(oid));
    AppendNumber(out, detached ? 1 : 0);
    AppendNumber(out, para.dwInnerContentType);
    if (NamesAlgorithm(para)) {
        const CRYPT_ALGORITHM_IDENTIFIER& alg = para.HashEncryptionAlgorithm;
        const char* named = alg.pszObjId != nullptr ? alg.pszObjId : "";
        AppendBytes(out, named, std::strlen(named));
        AppendBytes(out, alg.Parameters.pbData, alg.Parameters.cbData);
    } else {
        AppendNumber(out, 0);
    }
    AppendAttributes(out, para.cAuthAttr, para.rgAuthAttr, authValues);
    AppendAttributes(out, para.cUnauthAttr, para.rgUnauthAttr);
    if (!detached)
        for (DWORD i = 0; i < content.pieces; ++i)
            AppendBytes(out, content.data[i], content.lengths[i]);
    return out;
}

bool Same(const std::weak_ptr<const Certificate>& kept,
          const std::shared_ptr<const Certificate>& now) {
    // By owner and address: while the owner lives, so does the object at
    // the address (a store's certificates share their listing's ownership).
    return now && !kept.owner_before(now) && !now.owner_before(kept) &&
           kept.lock().get() == now.get();
}

// The message a size query built with stand-ins, kept on its thread for the
// call that follows with the same inputs: that call completes it instead of
// building it again.
struct Prepared {
    std::weak_ptr<const Certificate> signer;
    std::vector<std::weak_ptr<const Certificate>> certs;
    std::string inputs;
    std::vector<unsigned char> message;
    Layout layout;
};
thread_local std::optional<Prepared> t_prepared;

// The last message a size query prepared, kept on its thread as the form of
// the next: a call with the same signer, certificates, algorithm, content
// (when carried) and unauthenticated attributes, and the same authenticated
// attributes but for their values (each one value, of the length it had),
// takes it with the new values written over the old. Signing time after
// signing time through one certificate then builds its message once.
// Writing a value over another never changes the attributes' order: each
// has an identifier of its own, and that, with the lengths before it,
// decides their order before any value does.
struct Shape {
    Prepared prepared;                 // as the size query left it: stand-ins in place
    std::string inputs;                // CallInputs without the authenticated values
    std::vector<std::size_t> valueAt;  // each authenticated attribute's value, in `message`
};
thread_local std::optional<Shape> t_shape;

// Where each authenticated attribute the call gave has its value in the
// message, when each has one value of its own identifier, carried as given.
std::optional<std::vector<std::size_t>> FindValues(const CRYPT_SIGN_MESSAGE_PARA& para,
                                                   const std::vector<unsigned char>& message,
                                                   const Layout& layout) {
    using namespace der;
    std::vector<std::size_t> found;
    if (para.cAuthAttr == 0) return found;
    if (!layout.attributes) return std::nullopt;
    for (DWORD i = 0; i < para.cAuthAttr; ++i) {
        const CRYPT_ATTRIBUTE& given = para.rgAuthAttr[i];
        if (given.cValue != 1 || given.rgValue[0].cbData == 0) return std::nullopt;
        for (DWORD j = 0; j < i; ++j)
            if (std::strcmp(given.pszObjId, para.rgAuthAttr[j].pszObjId) == 0) return std::nullopt;
        ossl::Asn1ObjectPtr oid(OBJ_txt2obj(given.pszObjId, 1));
        if (!oid) return std::nullopt;
        const Bytes id(OBJ_get0_data(oid.get()), std::size_t(OBJ_length(oid.get())));
        Element attrs, attr;
        if (Reader(Bytes(message).subspan(layout.attrsAt, layout.attrsEnd - layout.attrsAt))
                .Next(attrs) != Status::Ok)
            return std::nullopt;
        Reader inAttrs = Reader::Inside(attrs, false);
        std::optional<std::size_t> at;
        Status status;
        while ((status = inAttrs.Next(attr)) == Status::Ok) {
            Element name, values, value;
            Reader parts = Reader::Inside(attr, false);
            if (parts.Next(name) != Status::Ok || !std::ranges::equal(name.Content(), id)) continue;
            if (at || parts.Next(values) != Status::Ok || !values.IsUniversal(kSet, true))
                return std::nullopt;
            Reader inValues = Reader::Inside(values, false);
            if (inValues.Next(value) != Status::Ok || !inValues.AtEnd()) return std::nullopt;
            const Bytes carried(value.begin, std::size_t(value.end - value.begin));
            const Bytes wanted(given.rgValue[0].pbData, given.rgValue[0].cbData);
            if (!std::ranges::equal(carried, wanted)) return std::nullopt;
            at = std::size_t(value.begin - message.data());
        }
        if (status != Status::End || !at) return std::nullopt;
        found.push_back(*at);
    }
    return found;
}

// Keeps what a size query prepared as the form of the next one's message.
void KeepShape(const CRYPT_SIGN_MESSAGE_PARA& para, bool detached, const Content& content,
               const Prepared& prepared) {
    t_shape.reset();
    auto values = FindValues(para, prepared.message, prepared.layout);
    if (!values) return;
    t_shape = Shape{prepared, CallInputs(para, detached, content, false), std::move(*values)};
}

// Whether a whole build would carry the attribute's one value exactly as
// given: one that is not DER, or not an encoding at all, is left to the
// whole build, which re-encodes or refuses it.
bool CarriedAsGiven(const CRYPT_ATTRIBUTE& given) {
    try {
        const auto attr = MakeAttribute(given);
        unsigned char* der = nullptr;
        const int n = i2d_ASN1_TYPE(X509_ATTRIBUTE_get0_type(attr.get(), 0), &der);
        const bool same = n > 0 && DWORD(n) == given.rgValue[0].cbData &&
                          std::memcmp(der, given.rgValue[0].pbData, std::size_t(n)) == 0;
        OPENSSL_free(der);
        return same;
    } catch (const SignError&) {
        ossl::DropErrors();
        return false;
    }
}

// The message for a size query, from the kept form when it fits the call.
std::optional<Prepared> FromShape(const CRYPT_SIGN_MESSAGE_PARA& para, bool detached,
                                  const Content& content) {
    if (!t_shape || para.cMsgCrl > 0 || t_shape->prepared.certs.size() != para.cMsgCert ||
        (para.cMsgCert > 0 && para.rgpMsgCert == nullptr))
        return std::nullopt;
    Shape& shape = *t_shape;
    if (!Same(shape.prepared.signer, CertificateOf(para.pSigningCert))) return std::nullopt;
    for (DWORD i = 0; i < para.cMsgCert; ++i)
        if (!Same(shape.prepared.certs[i], CertificateOf(para.rgpMsgCert[i]))) return std::nullopt;
    if (CallInputs(para, detached, content, false) != shape.inputs) return std::nullopt;
    Prepared made = shape.prepared;
    made.inputs = CallInputs(para, detached, content);
    for (DWORD i = 0; i < para.cAuthAttr; ++i) {
        const CRYPT_ATTR_BLOB& value = para.rgAuthAttr[i].rgValue[0];
        BYTE* at = made.message.data() + shape.valueAt[i];
        if (std::memcmp(at, value.pbData, value.cbData) == 0) continue;
        if (!CarriedAsGiven(para.rgAuthAttr[i])) return std::nullopt;
        std::memcpy(at, value.pbData, value.cbData);
        // The next call within the same second finds the value in place.
        std::memcpy(shape.prepared.message.data() + shape.valueAt[i], value.pbData, value.cbData);
    }
    return made;
}

// Keeps what a size query built, when the signature that completes it has a
// known length: RSA's, as long as the modulus.
void KeepPrepared(const CRYPT_SIGN_MESSAGE_PARA& para, bool detached, const Content& content,
                  const std::vector<unsigned char>& message) {
    t_prepared.reset();
    auto signer = CertificateOf(para.pSigningCert);
    const EVP_MD* md = DigestFor(para.HashAlgorithm.pszObjId);
    X509* x509 = signer ? signer->X509Cert() : nullptr;
    EVP_PKEY* key = signer && signer->PrivateKey() != nullptr ? signer->PrivateKey()
                    : x509 != nullptr                         ? X509_get0_pubkey(x509)
                                                              : nullptr;
    // RSA signatures are as long as the modulus; an ECDSA one at most as
    // long as the stand-in, and a shorter one is written in with the lengths
    // around it made anew.
    if (md == nullptr || key == nullptr ||
        (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA && EVP_PKEY_get_base_id(key) != EVP_PKEY_EC))
        return;
    const auto layout =
        FindLayout(message, std::size_t(EVP_MD_get_size(md)), std::size_t(EVP_PKEY_get_size(key)));
    if (!layout || layout->attributes != (para.cAuthAttr > 0)) return;
    Prepared kept;
    kept.signer = signer;
    for (DWORD i = 0; i < para.cMsgCert; ++i)
        kept.certs.push_back(CertificateOf(para.rgpMsgCert[i]));
    kept.inputs = CallInputs(para, detached, content);
    kept.message = message;
    kept.layout = *layout;
    KeepShape(para, detached, content, kept);
    t_prepared = std::move(kept);
}

// The prepared message, when it was made for this call's inputs; taken
// either way, as it serves only the call right after the size query.
std::optional<Prepared> TakePrepared(const CRYPT_SIGN_MESSAGE_PARA& para, bool detached,
                                     const Content& content,
                                     std::shared_ptr<const Certificate>& signer) {
    std::optional<Prepared> kept;
    kept.swap(t_prepared);
    if (!kept || para.cMsgCrl > 0 || kept->certs.size() != para.cMsgCert ||
        (para.cMsgCert > 0 && para.rgpMsgCert == nullptr))
        return std::nullopt;
    signer = CertificateOf(para.pSigningCert);
    if (!Same(kept->signer, signer)) return std::nullopt;
    for (DWORD i = 0; i < para.cMsgCert; ++i)
        if (!Same(kept->certs[i], CertificateOf(para.rgpMsgCert[i]))) return std::nullopt;
    if (kept->inputs != CallInputs(para, detached, content)) return std::nullopt;
    return kept;
}

// An RSA signature (PKCS#1 v1.5) over a digest with a key in memory: the same
// bytes EVP_DigestSign makes over the data. The key's context is kept on the
// thread for the next signature with the same certificate, which spares
// looking the algorithm up again.
std::vector<unsigned char> SignDigest(const std::shared_ptr<const Certificate>& signer,
                                      const EVP_MD* md, const std::vector<unsigned char>& digest) {
    struct Kept {
        std::weak_ptr<const Certificate> cert;
        const EVP_MD* md = nullptr;
        ossl::PkeyCtxPtr ctx;
    };
    thread_local Kept kept;
    if (!Same(kept.cert, signer) || kept.md != md || !kept.ctx) {
        kept = Kept{};
        ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new(signer->PrivateKey(), nullptr));
        if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
            EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
            EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1)
            throw SignError(NTE_BAD_KEY);
        kept = Kept{signer, md, std::move(ctx)};
    }
    std::size_t length = 0;
    if (EVP_PKEY_sign(kept.ctx.get(), nullptr, &length, digest.data(), digest.size()) != 1)
        throw SignError(NTE_BAD_KEY);
    std::vector<unsigned char> signature(length);
    if (EVP_PKEY_sign(kept.ctx.get(), signature.data(), &length, digest.data(), digest.size()) !=
        1) {
        kept = Kept{};
        throw SignError(NTE_BAD_KEY);
    }
    signature.resize(length);
    return signature;
}

std::vector<unsigned char> DigestOf(const EVP_MD* md, const unsigned char* data, std::size_t n) {
    const BYTE* piece[1] = {data};
    DWORD length[1] = {static_cast<DWORD>(n)};
    if (n > 0xFFFFFFFFu) throw SignError(CRYPT_E_ASN1_LARGE);
    return Digest(md, Content{1, piece, length});
}

// The prepared message with a signature shorter than its stand-in (an ECDSA
// signature, or a token's without leading zeros): the elements around it are
// encoded anew with their lengths. Nothing when the message is not as
// FindLayout found it.
std::optional<std::vector<unsigned char>> WithShorterSignature(
    const std::vector<unsigned char>& message, const Layout& layout,
    const std::vector<unsigned char>& signature) {
    using namespace der;
    Element info, e, explicitData, signedData, signerInfos, signerInfo, value;
    if (Reader(Bytes(message)).Next(info) != Status::Ok) return std::nullopt;
    Reader inInfo = Reader::Inside(info, false);
    if (inInfo.Next(e) != Status::Ok || inInfo.Next(explicitData) != Status::Ok)
        return std::nullopt;
    if (Reader::Inside(explicitData, false).Next(signedData) != Status::Ok) return std::nullopt;
    Reader inSigned = Reader::Inside(signedData, false);
    Status status;
    while ((status = inSigned.Next(e)) == Status::Ok) signerInfos = e;
    if (status != Status::End || signerInfos.begin == nullptr ||
        Reader::Inside(signerInfos, false).Next(signerInfo) != Status::Ok)
        return std::nullopt;
    Reader fields = Reader::Inside(signerInfo, false);
    bool found = false;
    while (!found && fields.Next(value) == Status::Ok)
        found = std::size_t(value.content - message.data()) == layout.signatureAt &&
                value.IsUniversal(kOctetString, false);
    if (!found) return std::nullopt;
    const auto octets = Wrap(0x04, Bytes(signature));
    const auto newInfo = Replaced(signerInfo, value, octets);
    const auto newInfos = Replaced(signerInfos, signerInfo, newInfo);
    const auto newSigned = Replaced(signedData, signerInfos, newInfos);
    const auto newExplicit = Replaced(explicitData, signedData, newSigned);
    return Replaced(info, explicitData, newExplicit);
}

// Completes a prepared message: the content's digest and the signature take
// the stand-ins' places. The bytes are those BuildMessage makes signing.
std::vector<unsigned char> CompletePrepared(Prepared prepared, const CRYPT_SIGN_MESSAGE_PARA& para,
                                            bool detached, const Content& content,
                                            const std::shared_ptr<const Certificate>& signer) {
    const EVP_MD* md = DigestFor(para.HashAlgorithm.pszObjId);
    if (md == nullptr) throw SignError(CRYPT_E_UNKNOWN_ALGO);
    const bool onToken = signer->PrivateKey() == nullptr && signer->Token() != nullptr;
    if (!onToken && signer->PrivateKey() == nullptr) throw SignError(CRYPT_E_NO_KEY_PROPERTY);
    std::vector<unsigned char>& message = prepared.message;
    const Layout& layout = prepared.layout;
    std::vector<unsigned char> signedDigest;
    const auto contentDigest = Digest(md, content);
    if (layout.attributes) {
        std::memcpy(message.data() + layout.digestAt, contentDigest.data(), contentDigest.size());
        // What is signed is the attributes as a SET OF: the same content
        // under the universal tag.
        std::vector<unsigned char> attributes(message.begin() + std::ptrdiff_t(layout.attrsAt),
                                              message.begin() + std::ptrdiff_t(layout.attrsEnd));
        attributes[0] = 0x31;
        signedDigest = DigestOf(md, attributes.data(), attributes.size());
    } else {
        signedDigest = contentDigest;
    }
    EVP_PKEY* key = onToken ? X509_get0_pubkey(signer->X509Cert()) : signer->PrivateKey();
    if (key == nullptr) throw SignError(CRYPT_E_NO_KEY_PROPERTY);
    const Algorithm alg = AlgorithmFor(para, key, md);
    const auto signature = onToken ? SignDigestOnToken(*signer, alg, md, signedDigest)
                           : alg.scheme == Scheme::RsaPkcs1
                               ? SignDigest(signer, md, signedDigest)
                               : SignDigestWith(key, alg, md, signedDigest);
    if (signature.size() < layout.signatureLength) {
        if (auto shorter = WithShorterSignature(message, layout, signature)) return *shorter;
    }
    if (signature.size() != layout.signatureLength) {
        // A token that left the leading zeros out: the message is encoded
        // around the signature as it is.
        return BuildMessage(para, detached, content, true, &signature);
    }
    std::memcpy(message.data() + layout.signatureAt, signature.data(), signature.size());
    return std::move(message);
}

}  // namespace

std::uint64_t SignedMessageBuilds() {
    return t_builds;
}

}  // namespace platform::crypt

using namespace platform::crypt;

BOOL CryptSignMessage(PCRYPT_SIGN_MESSAGE_PARA pSignPara, BOOL fDetachedSignature,
                      DWORD cToBeSigned, const BYTE* rgpbToBeSigned[], DWORD rgcbToBeSigned[],
                      BYTE* pbSignedBlob, DWORD* pcbSignedBlob) {
    const auto trace = pbSignedBlob == nullptr ? "CryptSignMessage size" : "CryptSignMessage";
    return platform::GuardedCall("CryptSignMessage", trace, [&] {
        if (pSignPara == nullptr || pcbSignedBlob == nullptr ||
            pSignPara->cbSize < offsetof(CRYPT_SIGN_MESSAGE_PARA, HashEncryptionAlgorithm) ||
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
        const bool detached = fDetachedSignature != FALSE;
        // The plain way (FastPaths.h): every call builds its message whole,
        // and nothing is kept on the thread.
        if (!FastPaths()) {
            const auto der = BuildMessage(*pSignPara, detached, content, pbSignedBlob != nullptr);
            return platform::HandOut(der, pbSignedBlob, pcbSignedBlob);
        }
        if (pbSignedBlob == nullptr) {
            t_prepared.reset();
            if (auto made = FromShape(*pSignPara, detached, content)) {
                t_prepared = std::move(made);
                return platform::HandOut(t_prepared->message, pbSignedBlob, pcbSignedBlob);
            }
            auto der = BuildMessage(*pSignPara, detached, content, false);
            KeepPrepared(*pSignPara, detached, content, der);
            return platform::HandOut(der, pbSignedBlob, pcbSignedBlob);
        }
        std::shared_ptr<const Certificate> signer;
        auto prepared = TakePrepared(*pSignPara, detached, content, signer);
        const auto der =
            prepared ? CompletePrepared(std::move(*prepared), *pSignPara, detached, content, signer)
                     : BuildMessage(*pSignPara, detached, content, true);
        return platform::HandOut(der, pbSignedBlob, pcbSignedBlob);
    });
}
