#include <cstring>

#include "platform/crypt/WinCrypt.h"
#include "platform/seams/Seams.h"
#include "platform/win/LastError.h"
#include "platform/win/Time.h"
#include "platform/win/WinError.h"

namespace {

bool IsSigningTime(LPCSTR type) {
    if (type == PKCS_UTC_TIME) return true;
    // Small numbers stand for structure types; anything else is an identifier.
    if (reinterpret_cast<std::uintptr_t>(type) <= 0xFFFF) return false;
    return std::strcmp(type, szOID_RSA_signingTime) == 0;
}

// Hands out `der` by the size-query convention: no buffer asks for the size;
// a buffer too small gets ERROR_MORE_DATA and the size needed.
BOOL HandOut(const BYTE* der, DWORD length, BYTE* pbEncoded, DWORD* pcbEncoded) {
    if (pbEncoded == nullptr) {
        *pcbEncoded = length;
        return TRUE;
    }
    if (*pcbEncoded < length) {
        *pcbEncoded = length;
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    std::memcpy(pbEncoded, der, length);
    *pcbEncoded = length;
    return TRUE;
}

}  // namespace

BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo,
                       BYTE* pbEncoded, DWORD* pcbEncoded) {
    platform::seams::Trace("CryptEncodeObject");
    std::uint32_t injected = 0;
    if (platform::seams::Injected("CryptEncodeObject", injected)) {
        SetLastError(injected);
        return FALSE;
    }
    if (pcbEncoded == nullptr || pvStructInfo == nullptr || lpszStructType == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((dwCertEncodingType & (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING)) == 0) {
        SetLastError(CRYPT_E_BAD_ENCODE);
        return FALSE;
    }
    if (!IsSigningTime(lpszStructType)) {
        SetLastError(ERROR_FILE_NOT_FOUND);  // no encoder for that structure type
        return FALSE;
    }
    SYSTEMTIME st{};
    if (!FileTimeToSystemTime(static_cast<const FILETIME*>(pvStructInfo), &st)) {
        SetLastError(CRYPT_E_BAD_ENCODE);
        return FALSE;
    }
    // UTCTime holds two-digit years only; later or earlier times would need a
    // GeneralizedTime, which the signing-time attribute does not carry here.
    if (st.wYear < 1950 || st.wYear > 2049) {
        SetLastError(CRYPT_E_BAD_ENCODE);
        return FALSE;
    }
    BYTE der[15] = {0x17, 13};  // UTCTime of 13 characters: YYMMDDHHMMSSZ
    const unsigned fields[6] = {
        unsigned(st.wYear % 100), st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
    for (int i = 0; i < 6; ++i) {
        der[2 + 2 * i] = static_cast<BYTE>('0' + fields[i] / 10);
        der[3 + 2 * i] = static_cast<BYTE>('0' + fields[i] % 10);
    }
    der[14] = 'Z';
    return HandOut(der, sizeof der, pbEncoded, pcbEncoded);
}
