#pragma once
// The fields of an X.509 certificate, read from its DER by the platform's own
// bounded reader rather than by OpenSSL's certificate parser. Names are kept
// as they are encoded, whatever their values hold, so a certificate whose
// names OpenSSL will not read still gives its issuer, serial number, subject
// and key; only the public key info is ever handed to OpenSSL. A certificate
// whose structure is damaged anywhere is refused.

#include <vector>

#include "platform/crypt/Der.h"
#include "platform/crypt/WinCrypt.h"

namespace platform::crypt {

struct CertExtensionField {
    der::Bytes oid;  // the identifier's content octets
    bool critical = false;
    der::Bytes value;  // the content of the extnValue OCTET STRING
};

// Every span points into the DER the fields were read from.
struct CertFields {
    der::Bytes tbs;  // the whole TBSCertificate element
    DWORD version = 0;
    der::Bytes serial;  // the INTEGER's content octets, most significant first
    der::Bytes signatureOid, signatureParams;
    der::Bytes issuer;  // the whole Name element
    FILETIME notBefore{}, notAfter{};
    der::Bytes subject;        // the whole Name element
    der::Bytes publicKeyInfo;  // the whole SubjectPublicKeyInfo element
    der::Bytes keyOid, keyParams;
    der::Bytes keyBits;  // after the octet of unused bits
    BYTE keyUnusedBits = 0;
    std::vector<CertExtensionField> extensions;
    der::Bytes subjectKeyId;  // from the subject key identifier extension, when present
};

// Reads a certificate that fills `der` exactly. ERROR_SUCCESS, or why it is
// refused: CRYPT_E_ASN1_EOD when it ends early, CRYPT_E_ASN1_BADTAG when an
// element is not the one that belongs there, CRYPT_E_ASN1_CORRUPT otherwise.
DWORD ReadCertFields(der::Bytes der, CertFields& out);

// Whether a Name is a sequence of non-empty sets of type-and-value pairs,
// each an object identifier and one element of any kind.
bool IsWellFormedName(der::Bytes name);

}  // namespace platform::crypt
