#pragma once
// Signed messages and names for the inspection suites: made by OpenSSL the
// way other producers make them, or put together byte by byte where a test
// needs an encoding OpenSSL would not write.

#include <openssl/cms.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/TestSupport.h"

namespace ostrel::test {

using Bytes = std::vector<unsigned char>;

// --- Encodings put together by hand -------------------------------------------

// One element: tag octet, length (long form with `lengthOctets` > 0, even when
// a short one would do), content.
inline Bytes Tlv(unsigned char tag, const Bytes& content, int lengthOctets = 0) {
    Bytes out{tag};
    const std::size_t n = content.size();
    if (lengthOctets == 0 && n < 0x80) {
        out.push_back(static_cast<unsigned char>(n));
    } else {
        int octets = lengthOctets;
        if (octets == 0)
            for (std::size_t v = n; v != 0; v >>= 8) ++octets;
        out.push_back(static_cast<unsigned char>(0x80 | octets));
        for (int i = octets - 1; i >= 0; --i)
            out.push_back(static_cast<unsigned char>(n >> (8 * i)));
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

inline Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

inline Bytes Oid(const char* dotted) {
    platform::crypt::ossl::Asn1ObjectPtr obj(OBJ_txt2obj(dotted, 1));
    if (!obj) throw std::runtime_error(std::string("bad OID ") + dotted);
    return platform::crypt::ossl::ToDer(obj.get(), i2d_ASN1_OBJECT);
}

// AttributeTypeAndValue, RDN (a SET, in the order given), Name.
inline Bytes Atv(const char* oid, unsigned char tag, const Bytes& value) {
    return Tlv(0x30, Join({Oid(oid), Tlv(tag, value)}));
}
inline Bytes AtvEncoded(const char* oid, const Bytes& encodedValue) {
    return Tlv(0x30, Join({Oid(oid), encodedValue}));
}
inline Bytes Rdn(std::initializer_list<Bytes> atvs) {
    return Tlv(0x31, Join(atvs));
}
inline Bytes Name(std::initializer_list<Bytes> rdns) {
    return Tlv(0x30, Join(rdns));
}

// --- Certificates and messages put together by hand ------------------------------

inline Bytes SignBytes(EVP_PKEY* key, const EVP_MD* md, const Bytes& data) {
    platform::crypt::ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
    std::size_t length = 0;
    if (EVP_DigestSignInit(ctx.get(), nullptr, md, nullptr, key) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &length, data.data(), data.size()) != 1)
        throw std::runtime_error("cannot sign");
    Bytes sig(length);
    EVP_DigestSign(ctx.get(), sig.data(), &length, data.data(), data.size());
    sig.resize(length);
    return sig;
}

inline Bytes PublicKeyInfo(EVP_PKEY* key) {
    return platform::crypt::ossl::ToDer(key, i2d_PUBKEY);
}

// A version 3 certificate around `key` (RSA), with the names and serial
// number (the INTEGER's content octets) given as they are to be encoded.
inline Bytes HandCert(EVP_PKEY* key, const Bytes& issuer, const Bytes& subject,
                      const Bytes& serial = {0x01, 0x23},
                      const std::vector<Bytes>& extensions = {}) {
    const Bytes sha256Rsa = Tlv(0x30, Join({Oid("1.2.840.113549.1.1.11"), Tlv(0x05, {})}));
    Bytes exts;
    for (const auto& e : extensions) exts.insert(exts.end(), e.begin(), e.end());
    const Bytes tbs =
        Tlv(0x30, Join({Tlv(0xA0, Tlv(0x02, {2})), Tlv(0x02, serial), sha256Rsa, issuer,
                        Tlv(0x30, Join({Tlv(0x17, Text("250101000000Z")),
                                        Tlv(0x18, Text("20991231235959Z"))})),
                        subject, PublicKeyInfo(key),
                        extensions.empty() ? Bytes{} : Tlv(0xA3, Tlv(0x30, exts))}));
    Bytes bits{0};
    const Bytes sig = SignBytes(key, EVP_sha256(), tbs);
    bits.insert(bits.end(), sig.begin(), sig.end());
    return Tlv(0x30, Join({tbs, sha256Rsa, Tlv(0x03, bits)}));
}

// A message carrying `content` (unless `detached`) and the certificate
// `certDer`, signed by `key` (RSA) with the content type, the signing time
// and the digest among the signed attributes; the signer named by `issuer`
// and `serial` (content octets).
inline Bytes HandSigned(const Bytes& certDer, EVP_PKEY* key, const Bytes& issuer,
                        const Bytes& serial, const std::string& content,
                        const EVP_MD* md = EVP_md5(), bool detached = false) {
    const char* mdOid =
        EVP_MD_get_type(md) == NID_md5 ? "1.2.840.113549.2.5" : "2.16.840.1.101.3.4.2.1";
    const Bytes digestAlg = Tlv(0x30, Join({Oid(mdOid), Tlv(0x05, {})}));
    const Bytes rsa = Tlv(0x30, Join({Oid("1.2.840.113549.1.1.1"), Tlv(0x05, {})}));
    Bytes digest(EVP_MD_get_size(md));
    EVP_Digest(content.data(), content.size(), digest.data(), nullptr, md, nullptr);
    const auto attribute = [](const char* oid, const Bytes& value) {
        return Tlv(0x30, Join({Oid(oid), Tlv(0x31, value)}));
    };
    const Bytes attrs = Join({attribute("1.2.840.113549.1.9.3", Oid("1.2.840.113549.1.7.1")),
                              attribute("1.2.840.113549.1.9.5", Tlv(0x17, Text("260314151617Z"))),
                              attribute("1.2.840.113549.1.9.4", Tlv(0x04, digest))});
    const Bytes sig = SignBytes(key, md, Tlv(0x31, attrs));
    const Bytes signerInfo =
        Tlv(0x30, Join({Tlv(0x02, {1}), Tlv(0x30, Join({issuer, Tlv(0x02, serial)})), digestAlg,
                        Tlv(0xA0, attrs), rsa, Tlv(0x04, sig)}));
    const Bytes data = Oid("1.2.840.113549.1.7.1");
    const Bytes encap =
        Tlv(0x30, detached ? data : Join({data, Tlv(0xA0, Tlv(0x04, Text(content)))}));
    const Bytes signedData = Tlv(0x30, Join({Tlv(0x02, {1}), Tlv(0x31, digestAlg), encap,
                                             Tlv(0xA0, certDer), Tlv(0x31, signerInfo)}));
    return Tlv(0x30, Join({Oid("1.2.840.113549.1.7.2"), Tlv(0xA0, signedData)}));
}

// --- Messages made by OpenSSL ----------------------------------------------------

struct SignerSpec {
    const TestCert* cert;
    const EVP_MD* md = EVP_sha256();
    bool pss = false;
    unsigned flags = 0;  // CMS_NOATTR, CMS_NOCERTS, CMS_USE_KEYID ...
};

inline Bytes CmsDer(CMS_ContentInfo* cms) {
    return platform::crypt::ossl::ToDer(cms, i2d_CMS_ContentInfo);
}

using CmsPtr =
    std::unique_ptr<CMS_ContentInfo, platform::crypt::ossl::Deleter<CMS_ContentInfo_free>>;

// A SignedData message with `content` inside (unless `flags` has
// CMS_DETACHED), one signer info per SignerSpec, in order.
inline Bytes SignCms(const std::string& content, const std::vector<SignerSpec>& signers,
                     unsigned flags = 0) {
    flags |= CMS_BINARY | CMS_PARTIAL;
    CmsPtr cms(CMS_sign(nullptr, nullptr, nullptr, nullptr, flags));
    if (!cms) throw std::runtime_error("CMS_sign failed");
    for (const auto& s : signers) {
        CMS_SignerInfo* si = CMS_add1_signer(cms.get(), s.cert->cert.get(), s.cert->key.get(), s.md,
                                             s.flags | (s.pss ? CMS_KEY_PARAM : 0u));
        if (si == nullptr) throw std::runtime_error("CMS_add1_signer failed");
        if (s.pss && EVP_PKEY_CTX_set_rsa_padding(CMS_SignerInfo_get0_pkey_ctx(si),
                                                  RSA_PKCS1_PSS_PADDING) <= 0)
            throw std::runtime_error("PSS padding refused");
    }
    platform::crypt::ossl::BioPtr in(BIO_new_mem_buf(content.data(), int(content.size())));
    if (CMS_final(cms.get(), in.get(), nullptr, flags) != 1)
        throw std::runtime_error("CMS_final failed");
    return CmsDer(cms.get());
}

// The same message written in the streaming form: lengths left open (BER).
inline Bytes SignCmsStreamed(const std::string& content, const TestCert& cert) {
    const unsigned flags = CMS_BINARY | CMS_STREAM;
    platform::crypt::ossl::BioPtr in(BIO_new_mem_buf(content.data(), int(content.size())));
    CmsPtr cms(CMS_sign(cert.cert.get(), cert.key.get(), nullptr, in.get(), flags));
    if (!cms) throw std::runtime_error("CMS_sign failed");
    platform::crypt::ossl::BioPtr out(BIO_new(BIO_s_mem()));
    if (i2d_CMS_bio_stream(out.get(), cms.get(), in.get(), flags) != 1)
        throw std::runtime_error("streaming failed");
    char* data = nullptr;
    const long n = BIO_get_mem_data(out.get(), &data);
    return Bytes(data, data + n);
}

// A PKCS #7 (not CMS) message, as PKCS7_sign makes it.
inline Bytes SignPkcs7(const std::string& content, const TestCert& cert) {
    platform::crypt::ossl::BioPtr in(BIO_new_mem_buf(content.data(), int(content.size())));
    platform::crypt::ossl::Pkcs7Ptr p7(
        PKCS7_sign(cert.cert.get(), cert.key.get(), nullptr, in.get(), PKCS7_BINARY));
    if (!p7) throw std::runtime_error("PKCS7_sign failed");
    return platform::crypt::ossl::ToDer(p7.get(), i2d_PKCS7);
}

// The certificate with a subject key identifier, so that signers can be named by it.
inline TestCert WithKeyIdentifier(TestCert cert) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, cert.cert.get(), cert.cert.get(), nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_key_identifier, "hash");
    if (ext == nullptr) throw std::runtime_error("no key identifier");
    X509_add_ext(cert.cert.get(), ext, -1);
    X509_EXTENSION_free(ext);
    X509_sign(cert.cert.get(), cert.key.get(), EVP_sha256());
    return cert;
}

inline std::string Hex(const Bytes& bytes, bool lower = false) {
    const char* digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

// Flips one bit of the first occurrence of `what` in `message`, at `offset` in it.
inline Bytes Flipped(Bytes message, const Bytes& what, std::size_t offset) {
    const auto at = std::search(message.begin(), message.end(), what.begin(), what.end());
    if (at == message.end()) throw std::runtime_error("pattern not in message");
    at[std::ptrdiff_t(offset)] ^= 0x01;
    return message;
}

// The position of `cert`'s signer info in a message: a SET OF is written in
// sorted order, so it need not be the order in which signers were added.
inline int SignerPosition(const Bytes& message, const TestCert& cert) {
    const unsigned char* p = message.data();
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, long(message.size())));
    if (!cms) throw std::runtime_error("not a message");
    STACK_OF(CMS_SignerInfo)* signers = CMS_get0_SignerInfos(cms.get());
    for (int i = 0; i < sk_CMS_SignerInfo_num(signers); ++i)
        if (CMS_SignerInfo_cert_cmp(sk_CMS_SignerInfo_value(signers, i), cert.cert.get()) == 0)
            return i;
    throw std::runtime_error("no such signer");
}

// The signature octets of signer `index` of a message.
inline Bytes SignatureOf(const Bytes& message, int index = 0) {
    const unsigned char* p = message.data();
    CmsPtr cms(d2i_CMS_ContentInfo(nullptr, &p, long(message.size())));
    if (!cms) throw std::runtime_error("not a message");
    CMS_SignerInfo* si = sk_CMS_SignerInfo_value(CMS_get0_SignerInfos(cms.get()), index);
    const ASN1_OCTET_STRING* sig = CMS_SignerInfo_get0_signature(si);
    return Bytes(ASN1_STRING_get0_data(sig), ASN1_STRING_get0_data(sig) + ASN1_STRING_length(sig));
}

}  // namespace ostrel::test
