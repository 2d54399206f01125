#include "platform/crypt/PublicKey.h"

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <cstring>
#include <memory>

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

ossl::BignumPtr Number(const Element& e) {
    return ossl::BignumPtr(BN_bin2bn(e.content, int(e.contentEnd - e.content), nullptr));
}

// The modulus and exponent of a plain RSA key; false for anything else.
bool RsaNumbers(der::Bytes spki, Element& n, Element& e) {
    Reader top(spki, false);
    Element info, algorithm, bits, oid, params, key;
    if (!Only(top, info, der::kSequence, true)) return false;
    Reader in = Reader::Inside(info, false);
    if (in.Next(algorithm) != Status::Ok || !algorithm.IsUniversal(der::kSequence, true) ||
        !Only(in, bits, der::kBitString, false))
        return false;
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
    if (bits.contentEnd - bits.content < 2 || bits.content[0] != 0) return false;
    Reader k(der::Bytes(bits.content + 1, bits.contentEnd), false);
    if (!Only(k, key, der::kSequence, true)) return false;
    Reader numbers = Reader::Inside(key, false);
    return numbers.Next(n) == Status::Ok && PositiveInteger(n) && numbers.Next(e) == Status::Ok &&
           PositiveInteger(e) && numbers.AtEnd();
}

ossl::PkeyPtr RsaKey(const Element& modulus, const Element& exponent) {
    using BuildPtr = std::unique_ptr<OSSL_PARAM_BLD, ossl::Deleter<OSSL_PARAM_BLD_free>>;
    using ParamsPtr = std::unique_ptr<OSSL_PARAM, ossl::Deleter<OSSL_PARAM_free>>;
    const auto n = Number(modulus);
    const auto e = Number(exponent);
    BuildPtr build(OSSL_PARAM_BLD_new());
    if (!n || !e || !build ||
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_N, n.get()) != 1 ||
        OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_RSA_E, e.get()) != 1)
        return {};
    ParamsPtr params(OSSL_PARAM_BLD_to_param(build.get()));
    ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* key = nullptr;
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
        EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
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
        auto key = RsaKey(n, e);
        ossl::DropErrors();
        if (key) return key;
    }
    return DecodePublicKey(spki);
}

}  // namespace platform::crypt
