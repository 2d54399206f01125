// Verification of one signature of a signed message, against the certificate
// the message itself carries. No chain, trust, validity-period or revocation
// test is made: only whether the signature matches.
//
// The message is read with the platform's own bounded reader (Der.h), and the
// certificates it carries with the certificate reader (CertFields.h) through
// the cache of certificates already read (CertCache.h). OpenSSL gets the
// public key info, the digests and the signature check.

#include <openssl/objects.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "platform/crypt/CertCache.h"
#include "platform/crypt/Certificate.h"
#include "platform/crypt/Der.h"
#include "platform/crypt/Ossl.h"
#include "platform/crypt/VerifyMessage.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/seams/Seams.h"
#include "platform/win/Failure.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

namespace platform::crypt {
namespace {

using PssParamsPtr = std::unique_ptr<RSA_PSS_PARAMS, ossl::Deleter<RSA_PSS_PARAMS_free>>;
using AlgorPtr = std::unique_ptr<X509_ALGOR, ossl::Deleter<X509_ALGOR_free>>;
using AttrStackPtr =
    std::unique_ptr<STACK_OF(X509_ATTRIBUTE), decltype([](STACK_OF(X509_ATTRIBUTE) * s) {
                        sk_X509_ATTRIBUTE_pop_free(s, X509_ATTRIBUTE_free);
                    })>;

using Failed = platform::Failure;
using der::Element;
using der::Reader;
using der::Status;

// --- Object identifiers, by their content octets -----------------------------

struct KnownOid {
    int nid;
    der::Bytes content;
};

// The identifiers the verification knows, with OpenSSL's numbers for them.
const std::vector<KnownOid>& KnownOids() {
    static const std::vector<KnownOid> table = [] {
        std::vector<KnownOid> t;
        for (const int nid : {NID_md5,
                              NID_sha1,
                              NID_sha224,
                              NID_sha256,
                              NID_sha384,
                              NID_sha512,
                              NID_sha512_224,
                              NID_sha512_256,
                              NID_rsaEncryption,
                              NID_md5WithRSAEncryption,
                              NID_sha1WithRSAEncryption,
                              NID_sha224WithRSAEncryption,
                              NID_sha256WithRSAEncryption,
                              NID_sha384WithRSAEncryption,
                              NID_sha512WithRSAEncryption,
                              NID_rsassaPss,
                              NID_X9_62_id_ecPublicKey,
                              NID_ecdsa_with_SHA1,
                              NID_ecdsa_with_SHA224,
                              NID_ecdsa_with_SHA256,
                              NID_ecdsa_with_SHA384,
                              NID_ecdsa_with_SHA512,
                              NID_pkcs7_signed,
                              NID_pkcs9_messageDigest,
                              NID_pkcs9_signingTime}) {
            const ASN1_OBJECT* obj = OBJ_nid2obj(nid);
            t.push_back({nid, der::Bytes(OBJ_get0_data(obj), std::size_t(OBJ_length(obj)))});
        }
        return t;
    }();
    return table;
}

int NidOf(der::Bytes oid) {
    for (const auto& known : KnownOids())
        if (known.content.size() == oid.size() &&
            std::memcmp(known.content.data(), oid.data(), oid.size()) == 0)
            return known.nid;
    return NID_undef;
}

bool IsOid(const Element& e, int nid) {
    return e.IsUniversal(der::kOid, false) && NidOf(e.Content()) == nid;
}

// --- Algorithms -------------------------------------------------------------

// The digests a signer may name, fetched once.
const EVP_MD* DigestOfNid(int nid) {
    static const struct Digests {
        const EVP_MD* md[8];
        int nids[8] = {NID_md5,    NID_sha1,   NID_sha224,     NID_sha256,
                       NID_sha384, NID_sha512, NID_sha512_224, NID_sha512_256};
        Digests() {
            for (int i = 0; i < 8; ++i) md[i] = EVP_MD_fetch(nullptr, OBJ_nid2sn(nids[i]), nullptr);
            ossl::DropErrors();
        }
    } digests;
    for (int i = 0; i < 8; ++i)
        if (digests.nids[i] == nid) return digests.md[i];
    return nullptr;
}

const EVP_MD* DigestOf(const X509_ALGOR* alg) {
    const ASN1_OBJECT* obj = nullptr;
    X509_ALGOR_get0(&obj, nullptr, nullptr, alg);
    return DigestOfNid(OBJ_obj2nid(obj));
}

enum class Scheme { RsaPkcs1, RsaPss, Ecdsa };

Scheme SchemeOf(int nid) {
    switch (nid) {
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
PssSettings PssSettingsOf(der::Bytes algorithm) {
    const unsigned char* ap = algorithm.data();
    AlgorPtr alg(d2i_X509_ALGOR(nullptr, &ap, long(algorithm.size())));
    if (!alg) throw Failed(CRYPT_E_UNKNOWN_ALGO);
    int ptype = 0;
    const void* pval = nullptr;
    X509_ALGOR_get0(nullptr, &ptype, &pval, alg.get());
    PssSettings s{DigestOfNid(NID_sha1), DigestOfNid(NID_sha1), 20};
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

// Whether `signature` is the signer's over the pieces of `data` with the
// digest `md`; `sigAlg` is the whole AlgorithmIdentifier element.
bool SignatureMatches(EVP_PKEY* key, const EVP_MD* md, der::Bytes sigAlg, der::Bytes sigOid,
                      der::Bytes signature, std::span<const der::Bytes> data) {
    const Scheme scheme = SchemeOf(NidOf(sigOid));
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
    for (const der::Bytes piece : data)
        if (EVP_DigestVerifyUpdate(ctx.get(), piece.data(), piece.size()) != 1) return false;
    return EVP_DigestVerifyFinal(ctx.get(), signature.data(), signature.size()) == 1;
}

// --- Reading the message ----------------------------------------------------

// The next element inside a message whose outer element is known whole: an
// element that is missing, cut short or of another kind is a wrong tag.
Element Next(Reader& r) {
    Element e;
    if (r.Next(e) != Status::Ok) throw Failed(CRYPT_E_ASN1_BADTAG);
    return e;
}

Element Next(Reader& r, unsigned universalTag, bool constructed) {
    Element e = Next(r);
    if (!e.IsUniversal(universalTag, constructed)) throw Failed(CRYPT_E_ASN1_BADTAG);
    return e;
}

struct SignedMessage {
    bool hasContent = false;
    der::Bytes content;
    std::vector<BYTE> contentStorage;  // for content written in pieces
    std::vector<der::Bytes> certificates;
    std::vector<Element> signers;
};

SignedMessage ReadMessage(const BYTE* blob, DWORD size) {
    if (size == 0) throw Failed(CRYPT_E_ASN1_EOD);
    // Every message starts as a SEQUENCE; anything else is no message, however
    // long its first element claims to be.
    if (blob[0] != 0x30) throw Failed(CRYPT_E_ASN1_BADTAG);
    Reader top(der::Bytes(blob, size), true);
    Element info;
    switch (top.Next(info)) {
        case Status::Ok:
            break;
        case Status::Bad:
            platform::KeepCause("message: the first element is no element");
            throw Failed(CRYPT_E_ASN1_BADTAG);
        default:
            platform::KeepCause("message: the first element goes on past the " +
                                std::to_string(size) + " bytes given");
            throw Failed(CRYPT_E_ASN1_EOD);
    }
    // One complete message: bytes after it are not part of any message.
    if (!top.AtEnd()) throw Failed(CRYPT_E_ASN1_CORRUPT);

    Reader r = Reader::Inside(info, true);
    const Element type = Next(r, der::kOid, false);
    if (!IsOid(type, NID_pkcs7_signed)) throw Failed(CRYPT_E_UNEXPECTED_MSG_TYPE);
    const Element explicit0 = Next(r);
    if (!explicit0.Is(der::kContext, 0, true) || !r.AtEnd()) throw Failed(CRYPT_E_ASN1_BADTAG);
    Reader r0 = Reader::Inside(explicit0, true);
    const Element signedData = Next(r0, der::kSequence, true);
    if (!r0.AtEnd()) throw Failed(CRYPT_E_ASN1_BADTAG);

    SignedMessage m;
    Reader s = Reader::Inside(signedData, true);
    Next(s, der::kInteger, false);  // version
    Next(s, der::kSet, true);       // digestAlgorithms
    {
        Reader encap = Reader::Inside(Next(s, der::kSequence, true), true);
        Next(encap, der::kOid, false);
        if (!encap.AtEnd()) {
            const Element content = Next(encap);
            if (!content.Is(der::kContext, 0, true) || !encap.AtEnd())
                throw Failed(CRYPT_E_ASN1_BADTAG);
            Reader c = Reader::Inside(content, true);
            const Element octets = Next(c);
            if (!c.AtEnd() || der::StringOctets(octets, der::kOctetString, m.contentStorage,
                                                m.content) != Status::Ok)
                throw Failed(CRYPT_E_ASN1_BADTAG);
            m.hasContent = true;
        }
    }
    Element e = Next(s);
    if (e.Is(der::kContext, 0, true)) {
        // The certificates; other kinds (attribute certificates and the like)
        // are passed over.
        Reader certs = Reader::Inside(e, true);
        Element cert;
        Status st;
        while ((st = certs.Next(cert)) == Status::Ok)
            if (cert.IsUniversal(der::kSequence, true)) m.certificates.push_back(cert.Whole());
        if (st != Status::End) throw Failed(CRYPT_E_ASN1_BADTAG);
        e = Next(s);
    }
    if (e.Is(der::kContext, 1, true)) e = Next(s);  // revocation lists
    if (!e.IsUniversal(der::kSet, true) || !s.AtEnd()) throw Failed(CRYPT_E_ASN1_BADTAG);
    Reader signers = Reader::Inside(e, true);
    Element signer;
    Status st;
    while ((st = signers.Next(signer)) == Status::Ok) {
        if (!signer.IsUniversal(der::kSequence, true)) throw Failed(CRYPT_E_ASN1_BADTAG);
        m.signers.push_back(signer);
    }
    if (st != Status::End) throw Failed(CRYPT_E_ASN1_BADTAG);
    return m;
}

// The parts of one SignerInfo.
struct Signer {
    DWORD version = 0;
    Element sid;
    der::Bytes digestAlg;
    der::Bytes digestOid;
    bool hasAttributes = false;
    Element attributes;  // [0] IMPLICIT SET OF Attribute
    der::Bytes sigAlg, sigOid;
    der::Bytes signature;
    std::vector<BYTE> signatureStorage;
    bool hasUnsigned = false;
    Element unsignedAttributes;  // [1] IMPLICIT SET OF Attribute
};

der::Bytes AlgorithmOid(const Element& alg) {
    Reader r = Reader::Inside(alg, true);
    return Next(r, der::kOid, false).Content();
}

Signer ReadSigner(const Element& info) {
    Signer out;
    Reader r = Reader::Inside(info, true);
    const Element version = Next(r, der::kInteger, false);
    for (const BYTE b : version.Content()) out.version = (out.version << 8) | b;
    out.sid = Next(r);
    const Element digestAlg = Next(r, der::kSequence, true);
    out.digestAlg = digestAlg.Whole();
    out.digestOid = AlgorithmOid(digestAlg);
    Element e = Next(r);
    if (e.Is(der::kContext, 0, true)) {
        out.hasAttributes = true;
        out.attributes = e;
        e = Next(r);
    }
    if (!e.IsUniversal(der::kSequence, true)) throw Failed(CRYPT_E_ASN1_BADTAG);
    out.sigAlg = e.Whole();
    out.sigOid = AlgorithmOid(e);
    if (der::StringOctets(Next(r), der::kOctetString, out.signatureStorage, out.signature) !=
        Status::Ok)
        throw Failed(CRYPT_E_ASN1_BADTAG);
    // Unsigned attributes may follow; nothing else.
    if (!r.AtEnd()) {
        const Element unsignedAttrs = Next(r);
        if (!unsignedAttrs.Is(der::kContext, 1, true) || !r.AtEnd())
            throw Failed(CRYPT_E_ASN1_BADTAG);
        out.hasUnsigned = true;
        out.unsignedAttributes = unsignedAttrs;
    }
    return out;
}

bool Same(der::Bytes a, der::Bytes b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

// Whether the certificate is the one the signer names: by issuer and serial
// number, encoded as the certificate has them, or by subject key identifier.
bool NamesCertificate(const Element& sid, const ParsedCert& cert) {
    if (sid.IsUniversal(der::kSequence, true)) {
        Reader r = Reader::Inside(sid, true);
        const Element issuer = Next(r, der::kSequence, true);
        const Element serial = Next(r, der::kInteger, false);
        const CERT_INFO* info = cert.cert->Info();
        return Same(issuer.Whole(), der::Bytes(info->Issuer.pbData, info->Issuer.cbData)) &&
               Same(serial.Content(), cert.serial);
    }
    if (sid.Is(der::kContext, 0, false))
        return !cert.keyId.empty() && Same(sid.Content(), cert.keyId);
    throw Failed(CRYPT_E_ASN1_BADTAG);
}

std::shared_ptr<const ParsedCert> FindSignerCertificate(const SignedMessage& m, const Signer& si) {
    DWORD damage = 0;
    for (const der::Bytes der : m.certificates) {
        DWORD error = 0;
        auto cert = ReadCertificate(der, error);
        if (!cert) {
            if (damage == 0) damage = error;
            continue;
        }
        if (NamesCertificate(si.sid, *cert)) return cert;
    }
    // A damaged certificate may well have been the signer's: tell the damage.
    throw Failed(damage != 0 ? damage : CRYPT_E_NOT_FOUND);
}

// The signed attributes as the signature covers them: tagged as a SET, in the
// encoding the signer gave them. The rare producer that wrote them with an
// open length signed their DER form, which OpenSSL makes.
std::vector<BYTE> SignedAttributeBytes(const Element& attributes) {
    std::vector<BYTE> der(attributes.begin, attributes.end);
    // [0] IMPLICIT becomes the universal SET it stands for; tag 0 takes one octet.
    der[0] = 0x31;
    if (!attributes.indefinite) return der;
    const unsigned char* p = der.data();
    AttrStackPtr attrs(reinterpret_cast<STACK_OF(X509_ATTRIBUTE)*>(
        ASN1_item_d2i(nullptr, &p, long(der.size()), ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY))));
    if (!attrs) throw Failed(CRYPT_E_ASN1_CORRUPT);
    unsigned char* out = nullptr;
    const int n = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(attrs.get()), &out,
                                ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY));
    if (n <= 0) throw Failed(CRYPT_E_ASN1_CORRUPT);
    std::vector<BYTE> reencoded(out, out + n);
    OPENSSL_free(out);
    return reencoded;
}

// The one value of the one attribute of type `nid` among the signed
// attributes; false when there is no such attribute, or more than one, or it
// holds other than one value.
bool SingleAttributeValue(const Element& attributes, int nid, Element& value) {
    Reader r = Reader::Inside(attributes, true);
    Element attribute;
    Status st;
    bool found = false;
    while ((st = r.Next(attribute)) == Status::Ok) {
        if (!attribute.IsUniversal(der::kSequence, true)) throw Failed(CRYPT_E_ASN1_BADTAG);
        Reader a = Reader::Inside(attribute, true);
        const Element type = Next(a, der::kOid, false);
        const Element values = Next(a, der::kSet, true);
        if (!a.AtEnd()) throw Failed(CRYPT_E_ASN1_BADTAG);
        if (NidOf(type.Content()) != nid) continue;
        if (found) return false;
        found = true;
        Reader v = Reader::Inside(values, true);
        if (v.Next(value) != Status::Ok || !v.AtEnd()) return false;
    }
    if (st != Status::End) throw Failed(CRYPT_E_ASN1_BADTAG);
    return found;
}

// The attributes of a [0] or [1] SET OF Attribute, each value in its own encoding.
std::vector<SignedAttribute> AttributesOf(const Element& attributes) {
    std::vector<SignedAttribute> out;
    Reader r = Reader::Inside(attributes, true);
    Element attribute;
    Status st;
    while ((st = r.Next(attribute)) == Status::Ok) {
        if (!attribute.IsUniversal(der::kSequence, true)) throw Failed(CRYPT_E_ASN1_BADTAG);
        Reader a = Reader::Inside(attribute, true);
        SignedAttribute item;
        item.oid = der::OidText(Next(a, der::kOid, false).Content());
        if (item.oid.empty()) throw Failed(CRYPT_E_ASN1_CORRUPT);
        Reader v = Reader::Inside(Next(a, der::kSet, true), true);
        Element value;
        Status vs;
        while ((vs = v.Next(value)) == Status::Ok) item.values.push_back(value.Whole());
        if (vs != Status::End || !a.AtEnd()) throw Failed(CRYPT_E_ASN1_BADTAG);
        out.push_back(std::move(item));
    }
    if (st != Status::End) throw Failed(CRYPT_E_ASN1_BADTAG);
    return out;
}

// An AlgorithmIdentifier's identifier as text and its parameters' encoding.
void ReadAlgorithm(der::Bytes whole, std::string& oid, std::vector<BYTE>& parameters) {
    Reader outer(whole, true);
    Element alg;
    if (outer.Next(alg) != Status::Ok) throw Failed(CRYPT_E_ASN1_BADTAG);
    Reader r = Reader::Inside(alg, true);
    oid = der::OidText(Next(r, der::kOid, false).Content());
    if (oid.empty()) throw Failed(CRYPT_E_ASN1_CORRUPT);
    if (!r.AtEnd()) {
        const Element params = Next(r);
        parameters.assign(params.begin, params.end);
        if (!r.AtEnd()) throw Failed(CRYPT_E_ASN1_BADTAG);
    }
}

}  // namespace

std::vector<SignedAttribute> SignerAttributes(const BYTE* blob, DWORD size, DWORD index) {
    const SignedMessage m = ReadMessage(blob, size);
    if (index >= m.signers.size()) throw Failed(CRYPT_E_NO_SIGNER);
    const Signer si = ReadSigner(m.signers[index]);
    if (!si.hasAttributes) return {};
    return AttributesOf(si.attributes);
}

SignerParts ReadSignerParts(const BYTE* blob, DWORD size, DWORD index) {
    const SignedMessage m = ReadMessage(blob, size);
    if (index >= m.signers.size()) throw Failed(CRYPT_E_NO_SIGNER);
    const Signer si = ReadSigner(m.signers[index]);
    SignerParts out;
    out.version = si.version;
    if (si.sid.IsUniversal(der::kSequence, true)) {
        Reader r = Reader::Inside(si.sid, true);
        const Element issuer = Next(r, der::kSequence, true);
        const Element serial = Next(r, der::kInteger, false);
        out.issuer.assign(issuer.begin, issuer.end);
        out.serial.assign(serial.content, serial.contentEnd);
    } else if (si.sid.Is(der::kContext, 0, false)) {
        out.keyId.assign(si.sid.content, si.sid.contentEnd);
    } else {
        throw Failed(CRYPT_E_ASN1_BADTAG);
    }
    ReadAlgorithm(si.digestAlg, out.digestOid, out.digestParameters);
    ReadAlgorithm(si.sigAlg, out.signatureOid, out.signatureParameters);
    out.signature.assign(si.signature.begin(), si.signature.end());
    if (si.hasAttributes) out.authenticated = AttributesOf(si.attributes);
    if (si.hasUnsigned) out.unauthenticated = AttributesOf(si.unsignedAttributes);
    return out;
}

DWORD SignerCount(const BYTE* blob, DWORD size) {
    return static_cast<DWORD>(ReadMessage(blob, size).signers.size());
}

VerifiedSigner VerifySigner(const BYTE* blob, DWORD size, DWORD index,
                            const std::vector<der::Bytes>* detached) {
    SignedMessage m = ReadMessage(blob, size);
    if (index >= m.signers.size()) throw Failed(CRYPT_E_NO_SIGNER);
    Signer si = ReadSigner(m.signers[index]);

    VerifiedSigner out;
    std::vector<der::Bytes> inside;
    if (detached == nullptr) {
        // Nothing inside to verify: the signed content travels apart from it.
        if (!m.hasContent) throw Failed(CRYPT_E_INVALID_MSG_TYPE);
        inside.push_back(m.content);
        out.content = m.content;
        out.contentStorage = std::move(m.contentStorage);  // the bytes stay where they are
    }
    const std::vector<der::Bytes>& content = detached != nullptr ? *detached : inside;

    auto cert = FindSignerCertificate(m, si);
    const EVP_MD* md = DigestOfNid(NidOf(si.digestOid));
    if (md == nullptr) throw Failed(CRYPT_E_UNKNOWN_ALGO);
    if (!cert->key) throw Failed(NTE_BAD_KEY);

    bool matches = false;
    if (si.hasAttributes) {
        // The attributes stand for the content: their digest must be the content's.
        Element value;
        der::Bytes expected;
        std::vector<BYTE> storage;
        if (!SingleAttributeValue(si.attributes, NID_pkcs9_messageDigest, value) ||
            der::StringOctets(value, der::kOctetString, storage, expected) != Status::Ok)
            throw Failed(CRYPT_E_AUTH_ATTR_MISSING);
        ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int digestLength = 0;
        if (!ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) throw Failed(NTE_BAD_ALGID);
        for (const der::Bytes piece : content)
            if (EVP_DigestUpdate(ctx.get(), piece.data(), piece.size()) != 1)
                throw Failed(NTE_BAD_ALGID);
        if (EVP_DigestFinal_ex(ctx.get(), digest, &digestLength) != 1) throw Failed(NTE_BAD_ALGID);
        if (expected.size() != digestLength ||
            std::memcmp(expected.data(), digest, digestLength) != 0)
            throw Failed(CRYPT_E_HASH_VALUE);
        const std::vector<BYTE> attrs = SignedAttributeBytes(si.attributes);
        const der::Bytes covered[] = {der::Bytes(attrs.data(), attrs.size())};
        matches =
            SignatureMatches(cert->key.get(), md, si.sigAlg, si.sigOid, si.signature, covered);
        // The signing time, when the signer gave one.
        if (SingleAttributeValue(si.attributes, NID_pkcs9_signingTime, value))
            out.hasSigningTime = der::TimeValue(value, out.signingTime);
    } else {
        matches =
            SignatureMatches(cert->key.get(), md, si.sigAlg, si.sigOid, si.signature, content);
    }
    if (!matches) throw Failed(NTE_BAD_SIGNATURE);
    out.cert = cert->cert;
    return out;
}

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
            VerifiedSigner verified = VerifySigner(pbSignedBlob, cbSignedBlob, dwSignerIndex);

            if (pcbDecoded != nullptr) {
                if (verified.content.size() > 0xFFFFFFFFu) throw Failed(CRYPT_E_ASN1_LARGE);
                DWORD size = decodedRoom;
                const DWORD code = platform::CopyOut(verified.content, pbDecoded, &size);
                *pcbDecoded = size;
                if (code != ERROR_SUCCESS) {
                    SetLastError(code);
                    return FALSE;
                }
            }
            if (ppSignerCert != nullptr) {
                PCCERT_CONTEXT context = NewCertContext(verified.cert, nullptr, nullptr, 0);
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

BOOL CryptVerifyDetachedMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara,
                                         DWORD dwSignerIndex, const BYTE* pbDetachedSignBlob,
                                         DWORD cbDetachedSignBlob, DWORD cToBeSigned,
                                         const BYTE* rgpbToBeSigned[], DWORD rgcbToBeSigned[],
                                         PCCERT_CONTEXT* ppSignerCert) {
    using namespace platform::crypt;
    if (ppSignerCert != nullptr) *ppSignerCert = nullptr;
    return platform::GuardedCall(
        "CryptVerifyDetachedMessageSignature", "CryptVerifyDetachedMessageSignature",
        [&]() -> BOOL {
            if (pVerifyPara == nullptr || pVerifyPara->cbSize < sizeof(CRYPT_VERIFY_MESSAGE_PARA) ||
                (pVerifyPara->dwMsgAndCertEncodingType & PKCS_7_ASN_ENCODING) == 0 ||
                (pbDetachedSignBlob == nullptr && cbDetachedSignBlob != 0) ||
                (cToBeSigned > 0 && (rgpbToBeSigned == nullptr || rgcbToBeSigned == nullptr)) ||
                pVerifyPara->pfnGetSignerCertificate != nullptr)
                throw Failed(E_INVALIDARG);
            std::vector<der::Bytes> pieces;
            pieces.reserve(cToBeSigned);
            for (DWORD i = 0; i < cToBeSigned; ++i) {
                if (rgpbToBeSigned[i] == nullptr && rgcbToBeSigned[i] != 0)
                    throw Failed(E_INVALIDARG);
                pieces.emplace_back(rgpbToBeSigned[i], rgcbToBeSigned[i]);
            }
            struct Drop {
                ~Drop() { ossl::DropErrors(); }
            } drop;
            VerifiedSigner verified =
                VerifySigner(pbDetachedSignBlob, cbDetachedSignBlob, dwSignerIndex, &pieces);
            if (ppSignerCert != nullptr) {
                PCCERT_CONTEXT context = NewCertContext(verified.cert, nullptr, nullptr, 0);
                if (context == nullptr) throw Failed(GetLastError());
                *ppSignerCert = context;
            }
            return TRUE;
        },
        DWORD(NTE_FAIL), DWORD(E_OUTOFMEMORY));
}
