#pragma once
// The few DER structures the signer writes itself: the ESS signing
// certificate (v2) of CAdES, and an attribute with one value. Small and
// fixed, so written by hand over the certificate's own bytes.

#include <optional>
#include <span>
#include <vector>

#include "platform/win/WinTypes.h"

namespace signer_der {

// A TLV of `tag` around `content` (definite length, the shortest form).
std::vector<BYTE> Wrap(BYTE tag, std::span<const BYTE> content);

// The object identifier's DER content of a dotted text ("1.2.840...").
std::vector<BYTE> ObjectIdentifier(const char* dotted);

// The issuer (Name) and serialNumber (INTEGER) of a certificate, each as the
// whole TLV it carries; nothing when the bytes are no certificate.
struct IssuerAndSerial {
    std::vector<BYTE> issuer;
    std::vector<BYTE> serial;
};
std::optional<IssuerAndSerial> IssuerAndSerialOf(std::span<const BYTE> certificate);

// SigningCertificateV2 with one ESSCertIDv2: the SHA-256 hash of the
// certificate (the default algorithm, so not written) and its issuer and
// serial number.
std::vector<BYTE> SigningCertificateV2(std::span<const BYTE> certHash,
                                       const IssuerAndSerial& issuerSerial);

// Attribute ::= SEQUENCE { type OBJECT IDENTIFIER, values SET { value } }
std::vector<BYTE> Attribute(const char* oid, std::span<const BYTE> value);

}  // namespace signer_der
