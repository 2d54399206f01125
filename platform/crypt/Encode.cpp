#include <openssl/objects.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "platform/crypt/Der.h"
#include "platform/crypt/Encode.h"
#include "platform/crypt/Ossl.h"

#include "platform/crypt/WinCrypt.h"
#include "platform/seams/Seams.h"
#include "platform/win/Failure.h"
#include "platform/win/LastError.h"
#include "platform/win/Time.h"
#include "platform/win/WinError.h"

namespace platform::crypt {
namespace {

using Der = std::vector<BYTE>;

Der Tlv(BYTE tag, const Der& content) {
    return der::Wrap(tag, content);
}

Der Join(std::initializer_list<Der> parts) {
    Der out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Der OidElement(LPCSTR dotted) {
    if (dotted == nullptr || *dotted == '\0') throw platform::Failure(E_INVALIDARG);
    ossl::Asn1ObjectPtr obj(OBJ_txt2obj(dotted, 1));
    if (!obj) {
        ossl::DropErrors();
        throw platform::Failure(CRYPT_E_BAD_ENCODE);
    }
    const BYTE* data = OBJ_get0_data(obj.get());
    return Tlv(der::kOid, Der(data, data + OBJ_length(obj.get())));
}

// Whether the bytes are exactly one DER element.
bool OneElement(const BYTE* data, DWORD size) {
    if (data == nullptr || size == 0) return false;
    der::Reader r(der::Bytes(data, size));
    der::Element e;
    return r.Next(e) == der::Status::Ok && r.AtEnd();
}

// An AlgorithmIdentifier: parameters as given, NULL when none are.
Der AlgorithmElement(const CRYPT_ALGORITHM_IDENTIFIER& alg) {
    const CRYPT_OBJID_BLOB& p = alg.Parameters;
    if (p.cbData > 0 && !OneElement(p.pbData, p.cbData))
        throw platform::Failure(CRYPT_E_BAD_ENCODE);
    return Tlv(0x30, Join({OidElement(alg.pszObjId),
                           p.cbData > 0 ? Der(p.pbData, p.pbData + p.cbData) : Der{0x05, 0x00}}));
}

Der Integer(DWORD value) {
    Der content;
    for (int shift = 24; shift >= 0; shift -= 8)
        if (!content.empty() || BYTE(value >> shift) != 0 || shift == 0)
            content.push_back(BYTE(value >> shift));
    if (content[0] & 0x80) content.insert(content.begin(), 0);
    return Tlv(der::kInteger, content);
}

bool IsOid(LPCSTR given, const char* oid) {
    return given != nullptr && std::strcmp(given, oid) == 0;
}

}  // namespace

std::vector<BYTE> EncodePssParameters(const CRYPT_RSA_SSA_PSS_PARAMETERS& params) {
    const CRYPT_ALGORITHM_IDENTIFIER& hash = params.HashAlgorithm;
    const CRYPT_MASK_GEN_ALGORITHM& mgf = params.MaskGenAlgorithm;
    if (!IsOid(mgf.pszObjId, szOID_RSA_MGF1)) throw platform::Failure(E_INVALIDARG);
    if (params.dwTrailerField != PKCS_RSA_SSA_PSS_TRAILER_FIELD_BC)
        throw platform::Failure(E_INVALIDARG);
    // Fields at their defaults (SHA-1, MGF1 with SHA-1, 20, 1) are left out.
    const auto sha1 = [](const CRYPT_ALGORITHM_IDENTIFIER& alg) {
        return IsOid(alg.pszObjId, szOID_OIWSEC_sha1);
    };
    Der fields;
    if (!sha1(hash)) fields = Join({fields, Tlv(0xA0, AlgorithmElement(hash))});
    if (!sha1(mgf.HashAlgorithm))
        fields = Join({fields, Tlv(0xA1, Tlv(0x30, Join({OidElement(szOID_RSA_MGF1),
                                                         AlgorithmElement(mgf.HashAlgorithm)})))});
    if (params.dwSaltLength != 20) fields = Join({fields, Tlv(0xA2, Integer(params.dwSaltLength))});
    return Tlv(0x30, fields);
}

std::vector<BYTE> DefaultPssParameters(LPCSTR digestOid, DWORD digestLength) {
    CRYPT_RSA_SSA_PSS_PARAMETERS params{};
    params.HashAlgorithm.pszObjId = const_cast<LPSTR>(digestOid);
    params.MaskGenAlgorithm.pszObjId = const_cast<LPSTR>(szOID_RSA_MGF1);
    params.MaskGenAlgorithm.HashAlgorithm.pszObjId = const_cast<LPSTR>(digestOid);
    params.dwSaltLength = digestLength;
    params.dwTrailerField = PKCS_RSA_SSA_PSS_TRAILER_FIELD_BC;
    return EncodePssParameters(params);
}

std::vector<BYTE> EncodeAttribute(const CRYPT_ATTRIBUTE& attribute) {
    if (attribute.cValue > 0 && attribute.rgValue == nullptr) throw platform::Failure(E_INVALIDARG);
    std::vector<Der> values;
    for (DWORD i = 0; i < attribute.cValue; ++i) {
        const CRYPT_ATTR_BLOB& v = attribute.rgValue[i];
        if (!OneElement(v.pbData, v.cbData)) throw platform::Failure(CRYPT_E_BAD_ENCODE);
        values.emplace_back(v.pbData, v.pbData + v.cbData);
    }
    // A SET OF in DER: its elements in the order of their encodings.
    std::sort(values.begin(), values.end());
    Der set;
    for (const auto& v : values) set.insert(set.end(), v.begin(), v.end());
    return Tlv(0x30, Join({OidElement(attribute.pszObjId), Tlv(0x31, set)}));
}

}  // namespace platform::crypt

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
        if (lpszStructType == PKCS_ATTRIBUTE || lpszStructType == X509_RSA_SSA_PSS_PARAMETERS) {
            const auto der =
                lpszStructType == PKCS_ATTRIBUTE
                    ? platform::crypt::EncodeAttribute(
                          *static_cast<const CRYPT_ATTRIBUTE*>(pvStructInfo))
                    : platform::crypt::EncodePssParameters(
                          *static_cast<const CRYPT_RSA_SSA_PSS_PARAMETERS*>(pvStructInfo));
            return platform::HandOut(der, pbEncoded, pcbEncoded);
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
