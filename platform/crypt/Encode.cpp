#include <cstring>
#include <initializer_list>

#include "platform/crypt/Der.h"

#include "platform/crypt/WinCrypt.h"
#include "platform/seams/Seams.h"
#include "platform/win/Failure.h"
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

}  // namespace

BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo,
                       BYTE* pbEncoded, DWORD* pcbEncoded) {
    return platform::GuardedCall("CryptEncodeObject", [&]() -> BOOL {
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
        // A two-digit year reads as 1950-2049, so only those years are UTCTime;
        // the others carry all four digits as a GeneralizedTime, in whole seconds
        // like the UTCTime. Both forms have no more than four digits of year.
        if (st.wYear > 9999) {
            SetLastError(CRYPT_E_BAD_ENCODE);
            return FALSE;
        }
        const bool utc = st.wYear >= 1950 && st.wYear <= 2049;
        BYTE der[17];
        DWORD length = 0;
        const auto put2 = [&](unsigned value) {
            der[length++] = static_cast<BYTE>('0' + value / 10);
            der[length++] = static_cast<BYTE>('0' + value % 10);
        };
        der[length++] = utc ? 0x17 : 0x18;  // UTCTime, GeneralizedTime
        der[length++] = utc ? 13 : 15;      // YYMMDDHHMMSSZ, YYYYMMDDHHMMSSZ
        if (!utc) put2(st.wYear / 100u);
        for (const unsigned field :
             {unsigned(st.wYear % 100u), unsigned(st.wMonth), unsigned(st.wDay), unsigned(st.wHour),
              unsigned(st.wMinute), unsigned(st.wSecond)})
            put2(field);
        der[length++] = 'Z';
        return platform::HandOut(std::span<const BYTE>(der, length), pbEncoded, pcbEncoded);
    });
}

BOOL CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded,
                       DWORD cbEncoded, DWORD /*dwFlags*/, void* pvStructInfo,
                       DWORD* pcbStructInfo) {
    return platform::GuardedCall("CryptDecodeObject", [&]() -> BOOL {
        if (pcbStructInfo == nullptr || lpszStructType == nullptr ||
            (pbEncoded == nullptr && cbEncoded != 0))
            throw platform::Failure(ERROR_INVALID_PARAMETER);
        if ((dwCertEncodingType & (X509_ASN_ENCODING | PKCS_7_ASN_ENCODING)) == 0)
            throw platform::Failure(CRYPT_E_ASN1_BADTAG);
        if (!IsSigningTime(lpszStructType))
            throw platform::Failure(ERROR_FILE_NOT_FOUND);  // no decoder for that structure type
        platform::crypt::der::Reader r(platform::crypt::der::Bytes(pbEncoded, cbEncoded));
        platform::crypt::der::Element e;
        switch (r.Next(e)) {
            case platform::crypt::der::Status::Ok:
                break;
            case platform::crypt::der::Status::Bad:
                throw platform::Failure(CRYPT_E_ASN1_CORRUPT);
            default:
                throw platform::Failure(CRYPT_E_ASN1_EOD);
        }
        if (!r.AtEnd()) throw platform::Failure(CRYPT_E_ASN1_CORRUPT);
        if (e.cls != platform::crypt::der::kUniversal || e.constructed ||
            (e.tag != platform::crypt::der::kUtcTime &&
             e.tag != platform::crypt::der::kGeneralizedTime))
            throw platform::Failure(CRYPT_E_ASN1_BADTAG);
        FILETIME time{};
        if (!platform::crypt::der::TimeValue(e, time))
            throw platform::Failure(CRYPT_E_ASN1_CORRUPT);
        return platform::HandOut(
            std::span<const BYTE>(reinterpret_cast<const BYTE*>(&time), sizeof time),
            static_cast<BYTE*>(pvStructInfo), pcbStructInfo);
    });
}
