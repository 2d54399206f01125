// Verification of one signature of a signed message that carries its content,
// against the certificate the message itself carries. No chain, trust,
// validity-period or revocation test is made: only whether the signature
// matches.

#include <openssl/cms.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "platform/crypt/Certificate.h"
#include "platform/crypt/Ossl.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/seams/Seams.h"
#include "platform/win/Failure.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

namespace platform::crypt {
namespace {

using CmsPtr = std::unique_ptr<CMS_ContentInfo, ossl::Deleter<CMS_ContentInfo_free>>;
using PssParamsPtr = std::unique_ptr<RSA_PSS_PARAMS, ossl::Deleter<RSA_PSS_PARAMS_free>>;
using AlgorPtr = std::unique_ptr<X509_ALGOR, ossl::Deleter<X509_ALGOR_free>>;

struct CertStackFree {
    void operator()(STACK_OF(X509) * certs) const { sk_X509_pop_free(certs, X509_free); }
};
using CertStackPtr = std::unique_ptr<STACK_OF(X509), CertStackFree>;

using Failed = platform::Failure;

// Why the decoder gave up, in the platform's terms: data that ends too
// early, or data that is not the encoding of a message. A message whose
// outer length is known and present in full did not end early, whatever an
// inner length claims.
DWORD DecodeFailure(bool outerComplete) {
    DWORD code = CRYPT_E_ASN1_BADTAG;
    unsigned long e;
    while ((e = ossl::TakeError()) != 0) {
        if (outerComplete || ERR_GET_LIB(e) != ERR_LIB_ASN1) continue;
        switch (ERR_GET_REASON(e)) {
            case ASN1_R_TOO_LONG:
            case ASN1_R_HEADER_TOO_LONG:
            case ASN1_R_NOT_ENOUGH_DATA:
            case ASN1_R_MISSING_EOC:
                code = CRYPT_E_ASN1_EOD;
                break;
            default:
                break;
        }
    }
    return code;
}

// --- Finding the signed attributes as the producer encoded them ------------
//
// The signature covers the signed attributes exactly as the signer encoded
// them. The decoded form would have to be encoded again to get those bytes,
// and a producer whose encoding differs from ours (attribute order, string
// forms) would then fail to verify although its bytes are right. So the
// original bytes are located in the message with OpenSSL's element reader.

struct Element {
    const unsigned char* begin = nullptr;
    const unsigned char* content = nullptr;
    const unsigned char* end = nullptr;
    int tag = 0;
    int cls = 0;
    bool constructed = false;
    bool indefinite = false;
};

struct Reader {
    const unsigned char* p;
    const unsigned char* end;

    bool Next(Element& e) {
        if (p >= end) return false;
        const unsigned char* q = p;
        long length = 0;
        const int ret = ASN1_get_object(&q, &length, &e.tag, &e.cls, end - p);
        if ((ret & 0x80) != 0) return false;
        e.begin = p;
        e.content = q;
        e.constructed = (ret & V_ASN1_CONSTRUCTED) != 0;
        e.indefinite = (ret & 1) != 0;
        if (!e.indefinite) {
            e.end = q + length;
        } else {
            // The end of an element of unknown length is found by reading it whole.
            const unsigned char* s = p;
            ossl::Asn1TypePtr any(d2i_ASN1_TYPE(nullptr, &s, end - p));
            if (!any || s - p < 4) return false;
            e.end = s;
        }
        p = e.end;
        return true;
    }

    // The elements inside a constructed one (without its end-of-contents mark).
    static Reader Inside(const Element& e) {
        return Reader{e.content, e.indefinite ? e.end - 2 : e.end};
    }
};

bool IsContext(const Element& e, int tag) {
    return e.cls == V_ASN1_CONTEXT_SPECIFIC && e.tag == tag && e.constructed;
}
bool IsUniversal(const Element& e, int tag) {
    return e.cls == V_ASN1_UNIVERSAL && e.tag == tag && e.constructed;
}

struct SignedAttributes {
    bool present = false;
    bool definite = false;
    std::vector<unsigned char> der;  // tagged as SET, as the signature covers them
};

// Walks ContentInfo -> SignedData -> signerInfos[index] -> [0] signedAttrs.
bool FindSignedAttributes(const BYTE* blob, DWORD size, DWORD index, SignedAttributes& out) {
    Reader top{blob, blob + size};
    Element info, type, explicit0, signedData, e;
    if (!top.Next(info) || !IsUniversal(info, V_ASN1_SEQUENCE)) return false;
    Reader r = Reader::Inside(info);
    if (!r.Next(type) || !r.Next(explicit0) || !IsContext(explicit0, 0)) return false;
    Reader r0 = Reader::Inside(explicit0);
    if (!r0.Next(signedData) || !IsUniversal(signedData, V_ASN1_SEQUENCE)) return false;
    Reader s = Reader::Inside(signedData);
    // version, digestAlgorithms, encapContentInfo
    for (int i = 0; i < 3; ++i)
        if (!s.Next(e)) return false;
    // certificates [0] and crls [1] are optional; signerInfos is the SET after them.
    do {
        if (!s.Next(e)) return false;
    } while (e.cls == V_ASN1_CONTEXT_SPECIFIC);
    if (!IsUniversal(e, V_ASN1_SET)) return false;
    Reader signers = Reader::Inside(e);
    Element signer;
    for (DWORD i = 0; i <= index; ++i)
        if (!signers.Next(signer)) return false;
    Reader si = Reader::Inside(signer);
    // version, sid, digestAlgorithm, then signedAttrs when present
    for (int i = 0; i < 3; ++i)
        if (!si.Next(e)) return false;
    if (!si.Next(e)) return false;
    if (!IsContext(e, 0)) return true;
    out.present = true;
    out.definite = !e.indefinite;
    if (out.definite) {
        out.der.assign(e.begin, e.end);
        // [0] IMPLICIT becomes the universal SET it stands for; tag 0 takes one octet.
        out.der[0] = 0x31;
    }
    return true;
}

// The attributes in DER, in the order the message holds them, for the rare
// producer that wrote them with an indefinite length.
std::vector<unsigned char> ReencodeAttributes(CMS_SignerInfo* si) {
    STACK_OF(X509_ATTRIBUTE)* attrs = sk_X509_ATTRIBUTE_new_null();
    if (attrs == nullptr) throw Failed(E_OUTOFMEMORY);
    const int count = CMS_signed_get_attr_count(si);
    for (int i = 0; i < count; ++i) sk_X509_ATTRIBUTE_push(attrs, CMS_signed_get_attr(si, i));
    unsigned char* der = nullptr;
    const int n = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(attrs), &der,
                                ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    sk_X509_ATTRIBUTE_free(attrs);  // the attributes stay the signer's
    if (n <= 0) throw Failed(CRYPT_E_ASN1_CORRUPT);
    std::vector<unsigned char> out(der, der + n);
    OPENSSL_free(der);
    return out;
}

// --- Algorithms -------------------------------------------------------------

const EVP_MD* DigestOf(const X509_ALGOR* alg) {
    const ASN1_OBJECT* obj = nullptr;
    X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
    switch (OBJ_obj2nid(obj)) {
        case NID_md5:
        case NID_sha1:
        case NID_sha224:
        case NID_sha256:
        case NID_sha384:
        case NID_sha512:
        case NID_sha512_224:
        case NID_sha512_256:
            return EVP_get_digestbyobj(obj);
        default:
            return nullptr;
    }
}

enum class Scheme { RsaPkcs1, RsaPss, Ecdsa };

Scheme SchemeOf(const X509_ALGOR* alg) {
    const ASN1_OBJECT* obj = nullptr;
    X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
    switch (OBJ_obj2nid(obj)) {
        case NID_rsaEncryption:
        case NID_md5WithRSAEncryption:
        case NID_sha1WithRSAEncryption:
        case NID_sha224WithRSAEncryption:
        case NID_sha256WithRSAEncryption:
        case NID_sha384WithRSAEncryption:
        case NID_sha512WithRSAEncryption:
            return Scheme::RsaPkcs1;
        case NID_rsassaPss:
            return Scheme::RsaPss;
        case NID_X9_62_id_ecPublicKey:
        case NID_ecdsa_with_SHA1:
        case NID_ecdsa_with_SHA224:
        case NID_ecdsa_with_SHA256:
        case NID_ecdsa_with_SHA384:
        case NID_ecdsa_with_SHA512:
            return Scheme::Ecdsa;
        default:
            throw Failed(CRYPT_E_UNKNOWN_ALGO);
    }
}

struct PssSettings {
    const EVP_MD* hash;
    const EVP_MD* mgf1;
    int saltLength;
};

// RSASSA-PSS parameters, with the defaults the standard gives absent fields.
PssSettings PssSettingsOf(const X509_ALGOR* alg) {
    int ptype = 0;
    const void* pval = nullptr;
    X509_ALGOR_get0(nullptr, &ptype, &pval, alg);
    PssSettings s{EVP_sha1(), EVP_sha1(), 20};
    if (ptype == V_ASN1_UNDEF || ptype == V_ASN1_NULL) return s;
    if (ptype != V_ASN1_SEQUENCE) throw Failed(CRYPT_E_UNKNOWN_ALGO);
    const auto* seq = static_cast<const ASN1_STRING*>(pval);
    const unsigned char* p = ASN1_STRING_get0_data(seq);
    PssParamsPtr pss(d2i_RSA_PSS_PARAMS(nullptr, &p, ASN1_STRING_length(seq)));
    if (!pss) throw Failed(CRYPT_E_UNKNOWN_ALGO);
    if (pss->hashAlgorithm != nullptr) {
        s.hash = DigestOf(pss->hashAlgorithm);
        if (s.hash == nullptr) throw Failed(CRYPT_E_UNKNOWN_ALGO);
    }
    if (pss->maskGenAlgorithm != nullptr) {
        const ASN1_OBJECT* mgf = nullptr;
        int mtype = 0;
        const void* mval = nullptr;
        X509_ALGOR_get0(&mgf, &mtype, &mval, pss->maskGenAlgorithm);
        if (OBJ_obj2nid(mgf) != NID_mgf1 || mtype != V_ASN1_SEQUENCE)
            throw Failed(CRYPT_E_UNKNOWN_ALGO);
        const auto* mseq = static_cast<const ASN1_STRING*>(mval);
        const unsigned char* mp = ASN1_STRING_get0_data(mseq);
        AlgorPtr mgfHash(d2i_X509_ALGOR(nullptr, &mp, ASN1_STRING_length(mseq)));
        s.mgf1 = mgfHash ? DigestOf(mgfHash.get()) : nullptr;
        if (s.mgf1 == nullptr) throw Failed(CRYPT_E_UNKNOWN_ALGO);
    }
    if (pss->saltLength != nullptr) {
        const long salt = ASN1_INTEGER_get(pss->saltLength);
        if (salt < 0 || salt > 65536) throw Failed(CRYPT_E_UNKNOWN_ALGO);
        s.saltLength = static_cast<int>(salt);
    }
    if (pss->trailerField != nullptr && ASN1_INTEGER_get(pss->trailerField) != 1)
        throw Failed(CRYPT_E_UNKNOWN_ALGO);
    return s;
}

// Whether `signature` is the signer's over `data` with the digest `md`.
bool SignatureMatches(EVP_PKEY* key, const EVP_MD* md, const X509_ALGOR* sigAlg,
                      const ASN1_OCTET_STRING* signature, const unsigned char* data,
                      std::size_t length) {
    const Scheme scheme = SchemeOf(sigAlg);
    const bool rsaKey = EVP_PKEY_is_a(key, "RSA") || EVP_PKEY_is_a(key, "RSA-PSS");
    if ((scheme == Scheme::Ecdsa) == rsaKey) return false;
    if (scheme == Scheme::Ecdsa && !EVP_PKEY_is_a(key, "EC")) return false;

    PssSettings pss{};
    if (scheme == Scheme::RsaPss) {
        pss = PssSettingsOf(sigAlg);
        // The signer's digest and the one the padding names must be one.
        if (EVP_MD_get_type(pss.hash) != EVP_MD_get_type(md)) throw Failed(NTE_BAD_ALGID);
    }
    ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
    if (!ctx) throw Failed(E_OUTOFMEMORY);
    EVP_PKEY_CTX* pctx = nullptr;
    if (EVP_DigestVerifyInit(ctx.get(), &pctx, md, nullptr, key) != 1) return false;
    if (scheme == Scheme::RsaPss) {
        if (EVP_PKEY_CTX_set_rsa_padding(pctx, RSA_PKCS1_PSS_PADDING) <= 0 ||
            EVP_PKEY_CTX_set_rsa_mgf1_md(pctx, pss.mgf1) <= 0 ||
            EVP_PKEY_CTX_set_rsa_pss_saltlen(pctx, pss.saltLength) <= 0)
            return false;
    }
    return EVP_DigestVerify(ctx.get(), ASN1_STRING_get0_data(signature),
                            std::size_t(ASN1_STRING_length(signature)), data, length) == 1;
}

// --- The verification ---------------------------------------------------------

struct Verified {
    CmsPtr cms;
    X509* signer = nullptr;  // owned by `certs`
    CertStackPtr certs;
    const unsigned char* content = nullptr;
    std::size_t contentLength = 0;
};

Verified Verify(DWORD index, const BYTE* blob, DWORD size) {
    if (size == 0) throw Failed(CRYPT_E_ASN1_EOD);
    // Every message starts as a SEQUENCE; anything else is no message, however
    // long its first element claims to be.
    if (blob[0] != 0x30) throw Failed(CRYPT_E_ASN1_BADTAG);

    const unsigned char* p = blob;
    long outerLength = 0;
    int tag = 0, cls = 0;
    const int header = ASN1_get_object(&p, &outerLength, &tag, &cls, long(size));
    if ((header & 0x80) != 0) {
        platform::crypt::ossl::DropErrors();
        throw Failed(CRYPT_E_ASN1_EOD);
    }
    const bool outerComplete = (header & 1) == 0;

    Verified out;
    p = blob;
    out.cms.reset(d2i_CMS_ContentInfo(nullptr, &p, long(size)));
    CMS_ContentInfo* cms = out.cms.get();
    if (cms == nullptr) throw Failed(DecodeFailure(outerComplete));
    // One complete message: bytes after it are not part of any message.
    if (p != blob + size) throw Failed(CRYPT_E_ASN1_CORRUPT);
    if (OBJ_obj2nid(CMS_get0_type(cms)) != NID_pkcs7_signed)
        throw Failed(CRYPT_E_UNEXPECTED_MSG_TYPE);

    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms);
    if (signers == nullptr || index >= DWORD(sk_CMS_SignerInfo_num(signers)))
        throw Failed(CRYPT_E_NO_SIGNER);
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(signers, int(index));

    // Nothing inside to verify: the signed content travels apart from it.
    ASN1_OCTET_STRING** contentSlot = CMS_get0_content(cms);
    if (contentSlot == nullptr || *contentSlot == nullptr) throw Failed(CRYPT_E_INVALID_MSG_TYPE);

    out.content = ASN1_STRING_get0_data(*contentSlot);
    out.contentLength = std::size_t(ASN1_STRING_length(*contentSlot));

    // The signer's certificate is looked for among those the message carries.
    out.certs.reset(CMS_get1_certs(cms));
    if (out.certs) {
        for (int i = 0; i < sk_X509_num(out.certs.get()); ++i) {
            X509* candidate = sk_X509_value(out.certs.get(), i);
            if (CMS_SignerInfo_cert_cmp(si, candidate) == 0) {
                out.signer = candidate;
                break;
            }
        }
    }
    if (out.signer == nullptr) throw Failed(CRYPT_E_NOT_FOUND);

    X509_ALGOR* digestAlg = nullptr;
    X509_ALGOR* sigAlg = nullptr;
    CMS_SignerInfo_get0_algs(si, nullptr, nullptr, &digestAlg, &sigAlg);
    const EVP_MD* md = DigestOf(digestAlg);
    if (md == nullptr) throw Failed(CRYPT_E_UNKNOWN_ALGO);
    EVP_PKEY* key = X509_get0_pubkey(out.signer);
    if (key == nullptr) throw Failed(NTE_BAD_KEY);

    SignedAttributes attrs;
    if (!FindSignedAttributes(blob, size, index, attrs)) throw Failed(CRYPT_E_ASN1_CORRUPT);

    const ASN1_OCTET_STRING* signature = CMS_SignerInfo_get0_signature(si);
    bool matches = false;
    if (attrs.present) {
        // The attributes stand for the content: their digest must be the content's.
        const ASN1_OCTET_STRING* expected =
            static_cast<const ASN1_OCTET_STRING*>(CMS_signed_get0_data_by_OBJ(
                si, OBJ_nid2obj(NID_pkcs9_messageDigest), -3, V_ASN1_OCTET_STRING));
        if (expected == nullptr) throw Failed(CRYPT_E_AUTH_ATTR_MISSING);
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int digestLength = 0;
        if (EVP_Digest(out.content, out.contentLength, digest, &digestLength, md, nullptr) != 1)
            throw Failed(NTE_BAD_ALGID);
        if (std::size_t(ASN1_STRING_length(expected)) != digestLength ||
            std::memcmp(ASN1_STRING_get0_data(expected), digest, digestLength) != 0)
            throw Failed(CRYPT_E_HASH_VALUE);
        const std::vector<unsigned char> der =
            attrs.definite ? std::move(attrs.der) : ReencodeAttributes(si);
        matches = SignatureMatches(key, md, sigAlg, signature, der.data(), der.size());
    } else {
        matches = SignatureMatches(key, md, sigAlg, signature, out.content, out.contentLength);
    }
    if (!matches) throw Failed(NTE_BAD_SIGNATURE);
    return out;
}

}  // namespace
}  // namespace platform::crypt

BOOL CryptVerifyMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex,
                                 const BYTE* pbSignedBlob, DWORD cbSignedBlob, BYTE* pbDecoded,
                                 DWORD* pcbDecoded, PCCERT_CONTEXT* ppSignerCert) {
    using namespace platform::crypt;
    // Outputs say "nothing" until the signature is known to verify.
    if (ppSignerCert != nullptr) *ppSignerCert = nullptr;
    const DWORD decodedRoom = pcbDecoded != nullptr ? *pcbDecoded : 0;
    if (pcbDecoded != nullptr) *pcbDecoded = 0;

    const BOOL verified = platform::GuardedCall(
        "CryptVerifyMessageSignature", "CryptVerifyMessageSignature",
        [&]() -> BOOL {
            if (pVerifyPara == nullptr || pVerifyPara->cbSize < sizeof(CRYPT_VERIFY_MESSAGE_PARA) ||
                (pVerifyPara->dwMsgAndCertEncodingType & PKCS_7_ASN_ENCODING) == 0 ||
                (pbSignedBlob == nullptr && cbSignedBlob != 0) ||
                // A caller's own certificate lookup is not offered: only the
                // message's certificates are searched.
                pVerifyPara->pfnGetSignerCertificate != nullptr)
                throw Failed(E_INVALIDARG);
            struct Drop {
                ~Drop() { ossl::DropErrors(); }
            } drop;
            Verified verified = Verify(dwSignerIndex, pbSignedBlob, cbSignedBlob);
            ossl::DropErrors();

            if (pcbDecoded != nullptr) {
                if (verified.contentLength > 0xFFFFFFFFu) throw Failed(CRYPT_E_ASN1_LARGE);
                DWORD size = decodedRoom;
                const DWORD code =
                    platform::CopyOut({verified.content, verified.contentLength}, pbDecoded, &size);
                *pcbDecoded = size;
                if (code != ERROR_SUCCESS) {
                    SetLastError(code);
                    return FALSE;
                }
            }
            if (ppSignerCert != nullptr) {
                auto cert = Certificate::FromX509(verified.signer);
                if (!cert) throw Failed(CRYPT_E_ASN1_CORRUPT);
                PCCERT_CONTEXT context = NewCertContext(std::move(cert), nullptr, nullptr, 0);
                if (context == nullptr) throw Failed(GetLastError());
                *ppSignerCert = context;
            }
            return TRUE;
        },
        DWORD(NTE_FAIL), DWORD(E_OUTOFMEMORY));
    // A size asked for too small a buffer is still told; any other failure
    // says "nothing".
    if (!verified && pcbDecoded != nullptr && GetLastError() != ERROR_MORE_DATA) *pcbDecoded = 0;
    return verified;
}
