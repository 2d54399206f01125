#pragma once
// TEMPORARY (remove when the token branch is merged): the token signing
// request that Tokens.h is to declare, served here by the RSA PKCS#1 call
// that exists today. Merging the token branch makes these declarations
// clash with Tokens.h's; delete this file and its includes then.

#include <vector>

#include "platform/crypt/Tokens.h"
#include "platform/win/Failure.h"
#include "platform/win/WinError.h"

namespace platform::crypt {

enum class TokenMechanism { RsaPkcs, RsaPss, Ecdsa };
struct TokenSignRequest {
    TokenMechanism mechanism;
    std::vector<BYTE> input;  // RsaPkcs: the DER DigestInfo; RsaPss, Ecdsa: the digest
    int digestNid = 0;        // RsaPss: the digest; MGF1 the same, salt as long as it
};

inline std::vector<BYTE> SignWithTokenKey(const Certificate& cert,
                                          const TokenSignRequest& request) {
    if (request.mechanism != TokenMechanism::RsaPkcs) throw platform::Failure(NTE_NOT_SUPPORTED);
    return SignWithTokenKey(cert, request.input);
}

}  // namespace platform::crypt
