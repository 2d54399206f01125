// Hashing of encoded data with a digest named by its algorithm identifier.

#include <openssl/evp.h>

#include "platform/crypt/WinCrypt.h"
#include "platform/win/Failure.h"
#include "platform/win/LastError.h"
#include "platform/win/WinError.h"

namespace {

const EVP_MD* DigestOf(ALG_ID algid) {
    switch (algid) {
        case CALG_MD5:
            return EVP_md5();
        case CALG_SHA1:
            return EVP_sha1();
        case CALG_SHA_256:
            return EVP_sha256();
        case CALG_SHA_384:
            return EVP_sha384();
        case CALG_SHA_512:
            return EVP_sha512();
        default:
            return nullptr;
    }
}

}  // namespace

BOOL CryptHashCertificate(HCRYPTPROV, ALG_ID Algid, DWORD, const BYTE* pbEncoded, DWORD cbEncoded,
                          BYTE* pbComputedHash, DWORD* pcbComputedHash) {
    return platform::GuardedCall("CryptHashCertificate", [&]() -> BOOL {
        if (pcbComputedHash == nullptr || (pbEncoded == nullptr && cbEncoded != 0)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        const EVP_MD* md = DigestOf(Algid);
        if (md == nullptr) {
            SetLastError(NTE_BAD_ALGID);
            return FALSE;
        }
        unsigned char hash[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        static const BYTE kNothing = 0;
        if (EVP_Digest(pbEncoded != nullptr ? pbEncoded : &kNothing, cbEncoded, hash, &length, md,
                       nullptr) != 1) {
            SetLastError(NTE_FAIL);
            return FALSE;
        }
        return platform::HandOut(std::span<const BYTE>(hash, length), pbComputedHash,
                                 pcbComputedHash);
    });
}
