#include "platform/crypt/Keys.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace platform::crypt {
namespace {

using der::Element;
using der::Reader;
using der::Status;

// rsaEncryption, 1.2.840.113549.1.1.1, as its content octets.
constexpr BYTE kRsaEncryption[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};

bool Only(Reader& r, Element& e, unsigned tag, bool constructed) {
    return r.Next(e) == Status::Ok && e.IsUniversal(tag, constructed) && r.AtEnd();
}

// A positive INTEGER in its shortest form.
bool PositiveInteger(const Element& e) {
    if (!e.IsUniversal(der::kInteger, false) || e.content == e.contentEnd) return false;
    if ((e.content[0] & 0x80) != 0) return false;
    if (e.content[0] == 0) {
        if (e.contentEnd - e.content == 1) return false;  // zero
        if ((e.content[1] & 0x80) == 0) return false;     // not the shortest form
    }
    return true;
}

// Whether an AlgorithmIdentifier element is rsaEncryption with NULL or no
// parameters.
bool IsRsaEncryption(const Element& algorithm) {
    if (!algorithm.IsUniversal(der::kSequence, true)) return false;
    Element oid, params;
    Reader a = Reader::Inside(algorithm, false);
    if (a.Next(oid) != Status::Ok || !oid.IsUniversal(der::kOid, false) ||
        std::size_t(oid.contentEnd - oid.content) != sizeof kRsaEncryption ||
        std::memcmp(oid.content, kRsaEncryption, sizeof kRsaEncryption) != 0)
        return false;
    if (const Status s = a.Next(params); s == Status::Ok) {
        if (!params.IsUniversal(der::kNull, false) || params.content != params.contentEnd ||
            !a.AtEnd())
            return false;
    } else if (s != Status::End) {
        return false;
    }
    return true;
}

// The modulus and exponent of a plain RSA key; false for anything else.
bool RsaNumbers(der::Bytes spki, Element& n, Element& e) {
    Reader top(spki, false);
    Element info, algorithm, bits, key;
    if (!Only(top, info, der::kSequence, true)) return false;
    Reader in = Reader::Inside(info, false);
    if (in.Next(algorithm) != Status::Ok || !IsRsaEncryption(algorithm) ||
        !Only(in, bits, der::kBitString, false))
        return false;
    if (bits.contentEnd - bits.content < 2 || bits.content[0] != 0) return false;
    Reader k(der::Bytes(bits.content + 1, bits.contentEnd), false);
    if (!Only(k, key, der::kSequence, true)) return false;
    Reader numbers = Reader::Inside(key, false);
    return numbers.Next(n) == Status::Ok && PositiveInteger(n) && numbers.Next(e) == Status::Ok &&
           PositiveInteger(e) && numbers.AtEnd();
}

// An RSA key from its numbers, each given as an INTEGER element under the
// name OpenSSL gives it; `selection` says whether they make a public key or a
// key pair. Every copy of the numbers is wiped when done with.
ossl::PkeyPtr RsaKey(std::span<const std::pair<const char*, const Element*>> numbers,
                     int selection) {
    using SecretPtr = std::unique_ptr<BIGNUM, ossl::Deleter<BN_clear_free>>;
    using BuildPtr = std::unique_ptr<OSSL_PARAM_BLD, ossl::Deleter<OSSL_PARAM_BLD_free>>;
    // Numbers in secure memory are held by the parameters in a block of their
    // own, which OSSL_PARAM_free clears.
    using ParamsPtr = std::unique_ptr<OSSL_PARAM, ossl::Deleter<OSSL_PARAM_free>>;
    BuildPtr build(OSSL_PARAM_BLD_new());
    if (!build) return {};
    std::vector<SecretPtr> values;
    for (const auto& [name, element] : numbers) {
        values.emplace_back(BN_secure_new());
        if (!values.back() ||
            BN_bin2bn(element->content, int(element->contentEnd - element->content),
                      values.back().get()) == nullptr ||
            OSSL_PARAM_BLD_push_BN(build.get(), name, values.back().get()) != 1)
            return {};
    }
    ParamsPtr params(OSSL_PARAM_BLD_to_param(build.get()));
    ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, selection, params.get()) != 1)
        return {};
    return ossl::PkeyPtr(key);
}

}  // namespace

ossl::PkeyPtr DecodePublicKey(der::Bytes spki) {
    const unsigned char* p = spki.data();
    ossl::PkeyPtr key(d2i_PUBKEY(nullptr, &p, long(spki.size())));
    ossl::DropErrors();
    return key;
}

ossl::PkeyPtr ReadPublicKey(der::Bytes spki) {
    Element n, e;
    if (RsaNumbers(spki, n, e)) {
        const std::pair<const char*, const Element*> numbers[] = {{OSSL_PKEY_PARAM_RSA_N, &n},
                                                                  {OSSL_PKEY_PARAM_RSA_E, &e}};
        auto key = RsaKey(numbers, EVP_PKEY_PUBLIC_KEY);
        ossl::DropErrors();
        if (key) return key;
    }
    return DecodePublicKey(spki);
}

ossl::PkeyPtr ReadRsaPrivateKey(der::Bytes privateKeyInfo) {
    Reader top(privateKeyInfo, false);
    Element info, infoVersion, algorithm, octets, key, version;
    if (!Only(top, info, der::kSequence, true)) return {};
    Reader i = Reader::Inside(info, false);
    if (i.Next(infoVersion) != Status::Ok || !infoVersion.IsUniversal(der::kInteger, false) ||
        infoVersion.contentEnd - infoVersion.content != 1 || infoVersion.content[0] != 0 ||
        i.Next(algorithm) != Status::Ok || !IsRsaEncryption(algorithm) ||
        !Only(i, octets, der::kOctetString, false))
        return {};
    Reader k(octets.Content(), false);
    if (!Only(k, key, der::kSequence, true)) return {};
    // version 0 (two primes), then n, e, d, p, q, d mod (p-1), d mod (q-1),
    // q^-1 mod p.
    Reader r = Reader::Inside(key, false);
    if (r.Next(version) != Status::Ok || !version.IsUniversal(der::kInteger, false) ||
        version.contentEnd - version.content != 1 || version.content[0] != 0)
        return {};
    Element n, e, d, p, q, dp, dq, qinv;
    for (Element* number : {&n, &e, &d, &p, &q, &dp, &dq, &qinv})
        if (r.Next(*number) != Status::Ok || !PositiveInteger(*number)) return {};
    if (!r.AtEnd()) return {};
    const std::pair<const char*, const Element*> numbers[] = {
        {OSSL_PKEY_PARAM_RSA_N, &n},          {OSSL_PKEY_PARAM_RSA_E, &e},
        {OSSL_PKEY_PARAM_RSA_D, &d},          {OSSL_PKEY_PARAM_RSA_FACTOR1, &p},
        {OSSL_PKEY_PARAM_RSA_FACTOR2, &q},    {OSSL_PKEY_PARAM_RSA_EXPONENT1, &dp},
        {OSSL_PKEY_PARAM_RSA_EXPONENT2, &dq}, {OSSL_PKEY_PARAM_RSA_COEFFICIENT1, &qinv}};
    auto made = RsaKey(numbers, EVP_PKEY_KEYPAIR);
    ossl::DropErrors();
    return made;
}

}  // namespace platform::crypt
