#pragma once
// The verification of one signer of a signed message, shared by the message
// services that verify (attached and detached content) and the one that
// reads the signed attributes.

#include <memory>
#include <string>
#include <vector>

#include "platform/crypt/Certificate.h"
#include "platform/crypt/Der.h"

namespace platform::crypt {

struct VerifiedSigner {
    std::shared_ptr<const Certificate> cert;
    der::Bytes content;  // the content carried inside (attached messages only)
    std::vector<BYTE> contentStorage;
    bool hasSigningTime = false;
    FILETIME signingTime{};  // from the signed attributes
};

// Verifies signer `index` of the message over its own content, or over the
// pieces of `detached` when given; throws a platform::Failure on any failure.
VerifiedSigner VerifySigner(const BYTE* blob, DWORD size, DWORD index,
                            const std::vector<der::Bytes>* detached = nullptr);

// The signed attributes of signer `index`, in the order the message holds
// them, each value in its own encoding; throws a platform::Failure when the
// message cannot be read or has no such signer.
struct SignedAttribute {
    std::string oid;
    std::vector<der::Bytes> values;
};
std::vector<SignedAttribute> SignerAttributes(const BYTE* blob, DWORD size, DWORD index);

// Everything signer `index` of a message says of itself, unverified: who it
// is (issuer and serial number, or key identifier), its algorithms (each
// identifier as text and its parameters' encoding, empty when absent), its
// signature value and both sets of attributes.
struct SignerParts {
    DWORD version = 0;
    std::vector<BYTE> issuer;  // the whole Name
    std::vector<BYTE> serial;  // the INTEGER's content octets, most significant first
    std::vector<BYTE> keyId;
    std::string digestOid, signatureOid;
    std::vector<BYTE> digestParameters, signatureParameters;
    std::vector<BYTE> signature;
    std::vector<SignedAttribute> authenticated, unauthenticated;
};
SignerParts ReadSignerParts(const BYTE* blob, DWORD size, DWORD index);
DWORD SignerCount(const BYTE* blob, DWORD size);

}  // namespace platform::crypt
