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
DWORD SignerCount(const BYTE* blob, DWORD size);

}  // namespace platform::crypt
