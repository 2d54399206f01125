#pragma once
// Numeric error codes that the platform layer sets as the thread's last-error
// code or returns as results. Values are the platform's standard ones.

#include "platform/win/WinTypes.h"

inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_BAD_ENVIRONMENT = 10;
inline constexpr DWORD ERROR_WRITE_FAULT = 29;
inline constexpr DWORD ERROR_READ_FAULT = 30;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr DWORD ERROR_INVALID_NAME = 123;
inline constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
inline constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
inline constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;
inline constexpr DWORD ERROR_MORE_DATA = 234;
inline constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
inline constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
inline constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
inline constexpr DWORD ERROR_CONTROL_ID_NOT_FOUND = 1421;
inline constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
inline constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
inline constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;
inline constexpr DWORD ERROR_RESOURCE_LANG_NOT_FOUND = 1815;
inline constexpr DWORD ERROR_CANCELLED = 1223;
inline constexpr DWORD ERROR_INVALID_TIME = 1901;
inline constexpr DWORD ERROR_FILE_TOO_LARGE = 223;
// HTTP transfers (a time-stamping authority's reply).
inline constexpr DWORD ERROR_WINHTTP_TIMEOUT = 12002;
inline constexpr DWORD ERROR_WINHTTP_INVALID_URL = 12005;
inline constexpr DWORD ERROR_WINHTTP_UNRECOGNIZED_SCHEME = 12006;
inline constexpr DWORD ERROR_WINHTTP_NAME_NOT_RESOLVED = 12007;
inline constexpr DWORD ERROR_WINHTTP_CANNOT_CONNECT = 12029;
inline constexpr DWORD ERROR_WINHTTP_INVALID_SERVER_RESPONSE = 12152;

inline constexpr DWORD E_FAIL = 0x80004005;
inline constexpr DWORD E_OUTOFMEMORY = 0x8007000E;
inline constexpr DWORD E_INVALIDARG = 0x80070057;

inline constexpr DWORD NTE_BAD_UID = 0x80090001;
inline constexpr DWORD NTE_BAD_SIGNATURE = 0x80090006;
inline constexpr DWORD NTE_BAD_ALGID = 0x80090008;
inline constexpr DWORD NTE_BAD_FLAGS = 0x80090009;
inline constexpr DWORD NTE_BAD_KEY = 0x80090003;
inline constexpr DWORD NTE_NO_MEMORY = 0x8009000E;
inline constexpr DWORD NTE_EXISTS = 0x8009000F;
inline constexpr DWORD NTE_PERM = 0x80090010;
inline constexpr DWORD NTE_BAD_PROV_TYPE = 0x80090014;
inline constexpr DWORD NTE_BAD_KEYSET = 0x80090016;
inline constexpr DWORD NTE_BAD_KEYSET_PARAM = 0x8009001F;
inline constexpr DWORD NTE_NO_KEY = 0x8009000D;
inline constexpr DWORD NTE_FAIL = 0x80090020;
inline constexpr DWORD NTE_BAD_HASH = 0x80090002;
inline constexpr DWORD NTE_BAD_DATA = 0x80090005;
inline constexpr DWORD NTE_NOT_SUPPORTED = 0x80090029;
inline constexpr DWORD TRUST_E_TIME_STAMP = 0x80096005;
inline constexpr DWORD TRUST_E_BAD_DIGEST = 0x80096010;

inline constexpr DWORD CRYPT_E_MSG_ERROR = 0x80091001;
inline constexpr DWORD CRYPT_E_UNKNOWN_ALGO = 0x80091002;
inline constexpr DWORD CRYPT_E_INVALID_MSG_TYPE = 0x80091004;
inline constexpr DWORD CRYPT_E_AUTH_ATTR_MISSING = 0x80091006;
inline constexpr DWORD CRYPT_E_HASH_VALUE = 0x80091007;
inline constexpr DWORD CRYPT_E_ATTRIBUTES_MISSING = 0x8009100F;
inline constexpr DWORD CRYPT_E_STREAM_MSG_NOT_READY = 0x80091010;
inline constexpr DWORD CRYPT_E_BAD_ENCODE = 0x80092002;
inline constexpr DWORD CRYPT_E_FILE_ERROR = 0x80092003;
inline constexpr DWORD CRYPT_E_NOT_FOUND = 0x80092004;
inline constexpr DWORD CRYPT_E_UNEXPECTED_MSG_TYPE = 0x8009200A;
inline constexpr DWORD CRYPT_E_NO_KEY_PROPERTY = 0x8009200B;
inline constexpr DWORD CRYPT_E_NO_SIGNER = 0x8009200E;
inline constexpr DWORD CRYPT_E_PENDING_CLOSE = 0x8009200F;
inline constexpr DWORD CRYPT_E_ASN1_ERROR = 0x80093100;
inline constexpr DWORD CRYPT_E_ASN1_EOD = 0x80093102;
inline constexpr DWORD CRYPT_E_ASN1_CORRUPT = 0x80093103;
inline constexpr DWORD CRYPT_E_ASN1_LARGE = 0x80093104;
inline constexpr DWORD CRYPT_E_ASN1_BADTAG = 0x8009310B;

inline constexpr DWORD SCARD_W_REMOVED_CARD = 0x80100069;
inline constexpr DWORD SCARD_W_WRONG_CHV = 0x8010006B;
inline constexpr DWORD SCARD_W_CHV_BLOCKED = 0x8010006C;
