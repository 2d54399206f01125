#pragma once
// Keys read from their DER for OpenSSL: a signer's public key, and the private
// key of a store entry.

#include "platform/crypt/Der.h"
#include "platform/crypt/Ossl.h"

namespace platform::crypt {

// The key of a whole SubjectPublicKeyInfo element; null when OpenSSL cannot
// read it. An RSA key in the plain form every signer's certificate carries
// (rsaEncryption, its parameters NULL or absent, a positive modulus and
// exponent in DER) is built from its two numbers directly; every other key
// goes through OpenSSL's own decoding. Both give the same key; the first
// spares a process the setting up of OpenSSL's decoders, which costs more
// than the verification the key is for.
ossl::PkeyPtr ReadPublicKey(der::Bytes spki);

// The same key, only ever through OpenSSL's own decoding (for comparison).
ossl::PkeyPtr DecodePublicKey(der::Bytes spki);

// The RSA private key of a whole PKCS#8 PrivateKeyInfo element of version 0
// with no attributes, whose algorithm is rsaEncryption (parameters NULL or
// absent) and whose key is a two-prime RSAPrivateKey of version 0, every
// number positive, in DER: built from its numbers, as ReadPublicKey builds a
// public key. Null for anything else, which the caller decodes through
// OpenSSL. The copies of the numbers made here are wiped when done with.
ossl::PkeyPtr ReadRsaPrivateKey(der::Bytes privateKeyInfo);

}  // namespace platform::crypt
