#pragma once
// Encoders shared inside the certificate services: CryptEncodeObject's
// structures as DER, for the signing of messages to use without going
// through the public call.

#include <vector>

#include "platform/crypt/WinCrypt.h"

namespace platform::crypt {

// RSASSA-PSS-params in DER, fields at their defaults left out. Throws
// platform::Failure (CRYPT_E_BAD_ENCODE, E_INVALIDARG) for what cannot be
// encoded.
std::vector<BYTE> EncodePssParameters(const CRYPT_RSA_SSA_PSS_PARAMETERS& params);

// An Attribute (SEQUENCE of the type and the SET OF its values) in DER; the
// values must each be one DER element and are put in DER's order.
std::vector<BYTE> EncodeAttribute(const CRYPT_ATTRIBUTE& attribute);

// The usual parameters for a digest: MGF1 with the same digest and a salt as
// long as the digest.
std::vector<BYTE> DefaultPssParameters(LPCSTR digestOid, DWORD digestLength);

}  // namespace platform::crypt
