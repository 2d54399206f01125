#pragma once
// Certificates read from signed messages, kept by the SHA-256 digest of their
// DER so that a signer seen again costs no second reading of its certificate
// nor of its key. Bounded in number: the one used longest ago goes first.

#include <openssl/evp.h>

#include <cstddef>
#include <memory>
#include <vector>

#include "platform/crypt/Certificate.h"
#include "platform/crypt/Der.h"

namespace platform::crypt {

struct ParsedCert {
    std::shared_ptr<const Certificate> cert;
    ossl::PkeyPtr key;         // null when OpenSSL cannot read the public key
    std::vector<BYTE> serial;  // the INTEGER's content octets, most significant first
    std::vector<BYTE> keyId;   // the subject key identifier, when the certificate has one
};

inline constexpr std::size_t kCertCacheCapacity = 64;

// The certificate whose DER is `der`, read once; null with `error` set when
// it is damaged.
std::shared_ptr<const ParsedCert> ReadCertificate(der::Bytes der, DWORD& error);

struct CertCacheCounts {
    std::size_t hits = 0, misses = 0, size = 0;
};
CertCacheCounts CertCacheNow();
void ClearCertCache();

}  // namespace platform::crypt
