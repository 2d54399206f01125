#include <gtest/gtest.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "platform/crypt/Der.h"
#include "platform/crypt/Keys.h"
#include "tests/platform/crypt/SignedMessages.h"

namespace ostrel::test {
namespace {

using platform::crypt::DecodePublicKey;
using platform::crypt::ReadPublicKey;
using platform::crypt::ReadRsaPrivateKey;
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

// The elements inside a SEQUENCE, each whole.
std::vector<Bytes> ElementsOf(const Bytes& sequence) {
    std::vector<Bytes> out;
    platform::crypt::der::Reader top(sequence, false);
    platform::crypt::der::Element seq, e;
    if (top.Next(seq) != platform::crypt::der::Status::Ok) return out;
    auto inside = platform::crypt::der::Reader::Inside(seq, false);
    while (inside.Next(e) == platform::crypt::der::Status::Ok) out.emplace_back(e.begin, e.end);
    return out;
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

Bytes Pkcs8(EVP_PKEY* key) {
    using P8Ptr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, ossl::Deleter<PKCS8_PRIV_KEY_INFO_free>>;
    P8Ptr p8(EVP_PKEY2PKCS8(key));
    return p8 ? ossl::ToDer(p8.get(), i2d_PKCS8_PRIV_KEY_INFO) : Bytes{};
}

Bytes Signature(EVP_PKEY* key) {
    const Bytes text = Text("Pay 100 EUR");
    ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
    std::size_t n = 0;
    if (EVP_DigestSignInit(ctx.get(), nullptr, EVP_md5(), nullptr, key) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &n, text.data(), text.size()) != 1)
        return {};
    Bytes signature(n);
    if (EVP_DigestSign(ctx.get(), signature.data(), &n, text.data(), text.size()) != 1) return {};
    signature.resize(n);
    return signature;
}

// Every number of the two keys is the same, and so is what they sign.
void ExpectSamePrivateKey(EVP_PKEY* mine, EVP_PKEY* theirs) {
    EXPECT_EQ(EVP_PKEY_eq(mine, theirs), 1);
    for (const char* name :
         {OSSL_PKEY_PARAM_RSA_N, OSSL_PKEY_PARAM_RSA_E, OSSL_PKEY_PARAM_RSA_D,
          OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2, OSSL_PKEY_PARAM_RSA_EXPONENT1,
          OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1}) {
        SCOPED_TRACE(name);
        BIGNUM *a = nullptr, *b = nullptr;
        ASSERT_EQ(EVP_PKEY_get_bn_param(mine, name, &a), 1);
        ASSERT_EQ(EVP_PKEY_get_bn_param(theirs, name, &b), 1);
        ossl::BignumPtr pa(a), pb(b);
        EXPECT_EQ(BN_cmp(a, b), 0);
    }
    const Bytes signature = Signature(mine);
    EXPECT_FALSE(signature.empty());
    EXPECT_EQ(signature, Signature(theirs));
}

TEST(PrivateKey, RsaKeysOfEverySizeAndExponentAreTheKeysOpenSslDecodes) {
    for (const unsigned bits : {1024u, 2048u})
        for (const unsigned long exponent : {3ul, 65537ul}) {
            SCOPED_TRACE(std::to_string(bits) + " bits, exponent " + std::to_string(exponent));
            const auto key = RsaKey(bits, exponent);
            ASSERT_TRUE(key);
            const auto read = ReadRsaPrivateKey(Pkcs8(key.get()));
            ASSERT_TRUE(read);
            ExpectSamePrivateKey(read.get(), key.get());
        }
}

TEST(PrivateKey, AnythingButAPlainTwoPrimeRsaKeyIsLeftToOpenSsl) {
    ossl::PkeyPtr ec(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
    const auto pss = RsaKey(1024, 65537, "RSA-PSS");
    ASSERT_TRUE(ec && pss);
    EXPECT_FALSE(ReadRsaPrivateKey(Pkcs8(ec.get())));
    EXPECT_FALSE(ReadRsaPrivateKey(Pkcs8(pss.get())));

    const auto key = RsaKey(1024, 65537);
    ASSERT_TRUE(key);
    const Bytes whole = Pkcs8(key.get());
    ASSERT_TRUE(ReadRsaPrivateKey(whole));
    // Cut short anywhere, or with a byte after it: no key, and no reading
    // past the end.
    for (std::size_t cut = 0; cut < whole.size(); ++cut)
        EXPECT_FALSE(ReadRsaPrivateKey(Bytes(whole.begin(), whole.begin() + long(cut))));
    Bytes trailing = whole;
    trailing.push_back(0x00);
    EXPECT_FALSE(ReadRsaPrivateKey(trailing));

    // The same numbers in forms other than the plain one: attributes, another
    // version of either structure, a third prime, a number not positive.
    using P8Ptr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, ossl::Deleter<PKCS8_PRIV_KEY_INFO_free>>;
    const unsigned char* p = whole.data();
    P8Ptr p8(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, long(whole.size())));
    ASSERT_TRUE(p8);
    const unsigned char* inner = nullptr;
    int innerLength = 0;
    ASSERT_EQ(PKCS8_pkey_get0(nullptr, &inner, &innerLength, nullptr, p8.get()), 1);
    const Bytes rsaKey(inner, inner + innerLength);
    const Bytes algorithm = Tlv(0x30, Join({Oid("1.2.840.113549.1.1.1"), Tlv(0x05, {})}));
    const auto info = [&](const Bytes& version, const Bytes& keyBytes, const Bytes& more) {
        return Tlv(0x30, Join({Tlv(0x02, version), algorithm, Tlv(0x04, keyBytes), more}));
    };
    ExpectSamePrivateKey(ReadRsaPrivateKey(info({0}, rsaKey, {})).get(), key.get());
    const Bytes attributes = Tlv(0xA0, Tlv(0x30, Join({Oid("1.2.3.4"), Tlv(0x31, Tlv(0x05, {}))})));
    EXPECT_FALSE(ReadRsaPrivateKey(info({0}, rsaKey, attributes)));
    EXPECT_FALSE(ReadRsaPrivateKey(info({1}, rsaKey, {})));
    // The RSAPrivateKey's own elements: its version, then eight numbers.
    const auto all = ElementsOf(rsaKey);
    ASSERT_EQ(all.size(), 9u);
    const auto rebuilt = [&](std::size_t at, const Bytes& element, const Bytes& more = {}) {
        Bytes content;
        for (std::size_t i = 0; i < all.size(); ++i) {
            const Bytes& e = i == at ? element : all[i];
            content.insert(content.end(), e.begin(), e.end());
        }
        content.insert(content.end(), more.begin(), more.end());
        return info({0}, Tlv(0x30, content), {});
    };
    ExpectSamePrivateKey(ReadRsaPrivateKey(rebuilt(9, {})).get(), key.get());
    EXPECT_FALSE(ReadRsaPrivateKey(rebuilt(0, Tlv(0x02, {1}))));                 // version 1
    EXPECT_FALSE(ReadRsaPrivateKey(rebuilt(9, {}, Tlv(0x30, {}))));              // more primes
    EXPECT_FALSE(ReadRsaPrivateKey(rebuilt(3, Tlv(0x02, {0x00}))));              // d = 0
    EXPECT_FALSE(ReadRsaPrivateKey(rebuilt(4, Tlv(0x02, {0xFF, 0x01}))));        // p < 0
    EXPECT_FALSE(ReadRsaPrivateKey(rebuilt(2, Tlv(0x02, {0x00, 0x01, 0x01}))));  // long form
}

}  // namespace
}  // namespace ostrel::test
