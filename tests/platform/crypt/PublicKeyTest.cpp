#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "platform/crypt/PublicKey.h"
#include "tests/platform/crypt/SignedMessages.h"

namespace ostrel::test {
namespace {

using platform::crypt::DecodePublicKey;
using platform::crypt::ReadPublicKey;
namespace ossl = platform::crypt::ossl;

ossl::PkeyPtr RsaKey(unsigned bits, unsigned long exponent, const char* kind = "RSA") {
    ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, kind, nullptr));
    ossl::BignumPtr e(BN_new());
    EVP_PKEY* key = nullptr;
    if (!ctx || !e || BN_set_word(e.get(), exponent) != 1 || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), int(bits)) != 1 ||
        EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), e.get()) != 1 ||
        EVP_PKEY_keygen(ctx.get(), &key) != 1)
        return {};
    return ossl::PkeyPtr(key);
}

Bytes Spki(EVP_PKEY* key) {
    return ossl::ToDer(key, i2d_PUBKEY);
}

// Whether the private key's signature of a text checks with `key`.
bool Verifies(EVP_PKEY* privateKey, EVP_PKEY* key) {
    const Bytes text = Text("Pay 100 EUR");
    ossl::MdCtxPtr sign(EVP_MD_CTX_new()), check(EVP_MD_CTX_new());
    std::size_t n = 0;
    if (EVP_DigestSignInit(sign.get(), nullptr, EVP_sha256(), nullptr, privateKey) != 1 ||
        EVP_DigestSign(sign.get(), nullptr, &n, text.data(), text.size()) != 1)
        return false;
    Bytes signature(n);
    if (EVP_DigestSign(sign.get(), signature.data(), &n, text.data(), text.size()) != 1)
        return false;
    signature.resize(n);
    return EVP_DigestVerifyInit(check.get(), nullptr, EVP_sha256(), nullptr, key) == 1 &&
           EVP_DigestVerify(check.get(), signature.data(), signature.size(), text.data(),
                            text.size()) == 1;
}

// The key read is the key OpenSSL decodes from the same bytes, or neither
// reads one.
void ExpectSameAsOpenSsl(const Bytes& spki) {
    const auto mine = ReadPublicKey(spki);
    const auto theirs = DecodePublicKey(spki);
    ASSERT_EQ(bool(mine), bool(theirs));
    if (!mine) return;
    EXPECT_EQ(EVP_PKEY_eq(mine.get(), theirs.get()), 1);
    EXPECT_STREQ(EVP_PKEY_get0_type_name(mine.get()), EVP_PKEY_get0_type_name(theirs.get()));
    EXPECT_EQ(EVP_PKEY_get_bits(mine.get()), EVP_PKEY_get_bits(theirs.get()));
    EXPECT_EQ(Spki(mine.get()), Spki(theirs.get()));
}

// The SubjectPublicKeyInfo of an RSA key put together from its parts.
Bytes RsaSpki(const Bytes& algorithmParams, const Bytes& modulus, const Bytes& exponent,
              unsigned char unusedBits = 0, const Bytes& inside = {}) {
    const Bytes key = Tlv(0x30, Join({Tlv(0x02, modulus), Tlv(0x02, exponent), inside}));
    Bytes bits{unusedBits};
    bits.insert(bits.end(), key.begin(), key.end());
    return Tlv(0x30, Join({Tlv(0x30, Join({Oid("1.2.840.113549.1.1.1"), algorithmParams})),
                           Tlv(0x03, bits)}));
}

TEST(PublicKey, RsaKeysOfEverySizeAndExponentAreTheKeysOpenSslDecodes) {
    for (const unsigned bits : {1024u, 2048u})
        for (const unsigned long exponent : {3ul, 65537ul, 0x100000001ul}) {
            SCOPED_TRACE(std::to_string(bits) + " bits, exponent " + std::to_string(exponent));
            const auto key = RsaKey(bits, exponent);
            ASSERT_TRUE(key);
            const Bytes spki = Spki(key.get());
            ExpectSameAsOpenSsl(spki);
            const auto read = ReadPublicKey(spki);
            ASSERT_TRUE(read);
            EXPECT_TRUE(Verifies(key.get(), read.get()));
            EXPECT_EQ(EVP_PKEY_is_a(read.get(), "RSA"), 1);
        }
}

TEST(PublicKey, OtherKeysAndOddEncodingsReadAsOpenSslReadsThem) {
    // Keys of other kinds.
    ossl::PkeyPtr ec(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    ASSERT_TRUE(ec);
    ExpectSameAsOpenSsl(Spki(ec.get()));
    const auto pss = RsaKey(1024, 65537, "RSA-PSS");
    ASSERT_TRUE(pss);
    ExpectSameAsOpenSsl(Spki(pss.get()));

    // The parts of a real key, then encodings of it a reader could take
    // differently.
    const auto key = RsaKey(1024, 65537);
    ASSERT_TRUE(key);
    BIGNUM* nb = nullptr;
    ASSERT_EQ(EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_N, &nb), 1);
    ossl::BignumPtr n(nb);
    Bytes modulus(std::size_t(BN_num_bytes(n.get())) + 1, 0);
    BN_bn2bin(n.get(), modulus.data() + 1);  // a leading zero: the modulus is positive
    const Bytes e = {0x01, 0x00, 0x01};
    const Bytes null = Tlv(0x05, {});
    Bytes unpadded(modulus.begin() + 1, modulus.end());  // reads as negative
    Bytes longer = modulus;
    longer.insert(longer.begin(), 0x00);  // not the shortest form

    ExpectSameAsOpenSsl(RsaSpki(null, modulus, e));
    ExpectSameAsOpenSsl(RsaSpki({}, modulus, e));              // no parameters
    ExpectSameAsOpenSsl(RsaSpki(Tlv(0x02, {1}), modulus, e));  // parameters other than NULL
    ExpectSameAsOpenSsl(RsaSpki(Tlv(0x05, {0}), modulus, e));  // a NULL with content
    ExpectSameAsOpenSsl(RsaSpki(Join({null, null}), modulus, e));
    ExpectSameAsOpenSsl(RsaSpki(null, unpadded, e));
    ExpectSameAsOpenSsl(RsaSpki(null, longer, e));
    ExpectSameAsOpenSsl(RsaSpki(null, modulus, {0x00, 0x01, 0x00, 0x01}));
    ExpectSameAsOpenSsl(RsaSpki(null, modulus, {0xFF}));                // a negative exponent
    ExpectSameAsOpenSsl(RsaSpki(null, modulus, {0x00}));                // zero
    ExpectSameAsOpenSsl(RsaSpki(null, modulus, {}));                    // no octets at all
    ExpectSameAsOpenSsl(RsaSpki(null, modulus, e, 1));                  // unused bits in the key
    ExpectSameAsOpenSsl(RsaSpki(null, modulus, e, 0, Tlv(0x02, {1})));  // a third number

    // Cut short anywhere, or with bytes after it, the key info reads as
    // OpenSSL reads it (which is: not at all).
    const Bytes whole = RsaSpki(null, modulus, e);
    for (std::size_t cut = 0; cut < whole.size(); ++cut)
        ExpectSameAsOpenSsl(Bytes(whole.begin(), whole.begin() + long(cut)));
    Bytes trailing = whole;
    trailing.push_back(0x00);
    EXPECT_FALSE(ReadPublicKey(trailing) && !DecodePublicKey(trailing));
}

}  // namespace
}  // namespace ostrel::test
