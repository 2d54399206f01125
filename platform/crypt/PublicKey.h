#pragma once
// The public key of a SubjectPublicKeyInfo, as OpenSSL keys it.

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

}  // namespace platform::crypt
