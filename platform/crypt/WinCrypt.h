#pragma once
// Certificate and cryptographic-message services: provider contexts, the
// user's certificate stores, certificate contexts, encoding, signing and
// verification of messages, and names as text. Records keep the platform's
// field order; sizes (`cbSize`) are those of the records on this platform.

#include "platform/win/WinTypes.h"

using HCRYPTPROV = ULONG_PTR;
using HCERTSTORE = void*;
using ALG_ID = UINT;

inline constexpr DWORD PROV_RSA_FULL = 1;
inline constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000;
inline constexpr DWORD CRYPT_NEWKEYSET = 0x00000008;
inline constexpr DWORD CRYPT_DELETEKEYSET = 0x00000010;
inline constexpr DWORD CRYPT_SILENT = 0x00000040;

inline constexpr DWORD X509_ASN_ENCODING = 0x00000001;
inline constexpr DWORD PKCS_7_ASN_ENCODING = 0x00010000;

inline constexpr DWORD CERT_CLOSE_STORE_FORCE_FLAG = 0x00000001;
inline constexpr DWORD CERT_CLOSE_STORE_CHECK_FLAG = 0x00000002;

inline constexpr DWORD CERT_SIMPLE_NAME_STR = 1;
inline constexpr DWORD CERT_OID_NAME_STR = 2;
inline constexpr DWORD CERT_X500_NAME_STR = 3;

inline constexpr char szOID_RSA_signingTime[] = "1.2.840.113549.1.9.5";
inline constexpr char szOID_RSA_contentType[] = "1.2.840.113549.1.9.3";
inline constexpr char szOID_RSA_messageDigest[] = "1.2.840.113549.1.9.4";
inline constexpr char szOID_RSA_MD5[] = "1.2.840.113549.2.5";
inline constexpr char szOID_OIWSEC_sha1[] = "1.3.14.3.2.26";
inline constexpr char szOID_NIST_sha256[] = "2.16.840.1.101.3.4.2.1";
inline constexpr char szOID_NIST_sha384[] = "2.16.840.1.101.3.4.2.2";
inline constexpr char szOID_NIST_sha512[] = "2.16.840.1.101.3.4.2.3";
inline constexpr char szOID_RSA_RSA[] = "1.2.840.113549.1.1.1";
// A structure type given by number rather than by object identifier.
inline const LPCSTR PKCS_UTC_TIME = reinterpret_cast<LPCSTR>(17);

struct CRYPTOAPI_BLOB {
    DWORD cbData;
    BYTE* pbData;
};
using CRYPT_INTEGER_BLOB = CRYPTOAPI_BLOB;
using CRYPT_UINT_BLOB = CRYPTOAPI_BLOB;
using CRYPT_OBJID_BLOB = CRYPTOAPI_BLOB;
using CERT_NAME_BLOB = CRYPTOAPI_BLOB;
using CRYPT_DATA_BLOB = CRYPTOAPI_BLOB;
using CRYPT_HASH_BLOB = CRYPTOAPI_BLOB;
using CRYPT_ATTR_BLOB = CRYPTOAPI_BLOB;
using PCERT_NAME_BLOB = CERT_NAME_BLOB*;

struct CRYPT_BIT_BLOB {
    DWORD cbData;
    BYTE* pbData;
    DWORD cUnusedBits;
};

struct CRYPT_ALGORITHM_IDENTIFIER {
    LPSTR pszObjId;
    CRYPT_OBJID_BLOB Parameters;
};

struct CERT_PUBLIC_KEY_INFO {
    CRYPT_ALGORITHM_IDENTIFIER Algorithm;
    CRYPT_BIT_BLOB PublicKey;
};

struct CERT_EXTENSION {
    LPSTR pszObjId;
    BOOL fCritical;
    CRYPT_OBJID_BLOB Value;
};

struct CERT_INFO {
    DWORD dwVersion;
    CRYPT_INTEGER_BLOB SerialNumber;  // least significant byte first
    CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
    CERT_NAME_BLOB Issuer;
    FILETIME NotBefore;
    FILETIME NotAfter;
    CERT_NAME_BLOB Subject;
    CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
    CRYPT_BIT_BLOB IssuerUniqueId;
    CRYPT_BIT_BLOB SubjectUniqueId;
    DWORD cExtension;
    CERT_EXTENSION* rgExtension;
};
using PCERT_INFO = CERT_INFO*;

struct CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE* pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    HCERTSTORE hCertStore;
};
using PCERT_CONTEXT = CERT_CONTEXT*;
using PCCERT_CONTEXT = const CERT_CONTEXT*;

struct CRL_CONTEXT;
using PCCRL_CONTEXT = const CRL_CONTEXT*;

struct CRYPT_ATTRIBUTE {
    LPSTR pszObjId;
    DWORD cValue;
    CRYPT_ATTR_BLOB* rgValue;
};
using PCRYPT_ATTRIBUTE = CRYPT_ATTRIBUTE*;

// The record without its optional extension (hash encryption algorithm).
struct CRYPT_SIGN_MESSAGE_PARA {
    DWORD cbSize;
    DWORD dwMsgEncodingType;
    PCCERT_CONTEXT pSigningCert;
    CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
    void* pvHashAuxInfo;
    DWORD cMsgCert;
    PCCERT_CONTEXT* rgpMsgCert;
    DWORD cMsgCrl;
    PCCRL_CONTEXT* rgpMsgCrl;
    DWORD cAuthAttr;
    PCRYPT_ATTRIBUTE rgAuthAttr;
    DWORD cUnauthAttr;
    PCRYPT_ATTRIBUTE rgUnauthAttr;
    DWORD dwFlags;
    DWORD dwInnerContentType;
};
using PCRYPT_SIGN_MESSAGE_PARA = CRYPT_SIGN_MESSAGE_PARA*;

using PFN_CRYPT_GET_SIGNER_CERTIFICATE = PCCERT_CONTEXT (*)(void* pvGetArg,
                                                            DWORD dwCertEncodingType,
                                                            PCERT_INFO pSignerId,
                                                            HCERTSTORE hMsgCertStore);

struct CRYPT_VERIFY_MESSAGE_PARA {
    DWORD cbSize;
    DWORD dwMsgAndCertEncodingType;
    HCRYPTPROV hCryptProv;
    PFN_CRYPT_GET_SIGNER_CERTIFICATE pfnGetSignerCertificate;
    void* pvGetArg;
};
using PCRYPT_VERIFY_MESSAGE_PARA = CRYPT_VERIFY_MESSAGE_PARA*;

// Provider contexts. The user's default key container is the ostrel home.
BOOL CryptAcquireContextA(HCRYPTPROV* phProv, LPCSTR szContainer, LPCSTR szProvider,
                          DWORD dwProvType, DWORD dwFlags);
BOOL CryptReleaseContext(HCRYPTPROV hProv, DWORD dwFlags);

// Stores and certificate contexts.
HCERTSTORE CertOpenSystemStoreA(HCRYPTPROV hProv, LPCSTR szSubsystemProtocol);
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE hCertStore, PCCERT_CONTEXT pPrevCertContext);
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT pCertContext);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
BOOL CertCloseStore(HCERTSTORE hCertStore, DWORD dwFlags);
LONG CertVerifyTimeValidity(FILETIME* pTimeToVerify, PCERT_INFO pCertInfo);

// Encoding of structures; only the signing time (a UTCTime) is offered.
BOOL CryptEncodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const void* pvStructInfo,
                       BYTE* pbEncoded, DWORD* pcbEncoded);

// Signed messages.
BOOL CryptSignMessage(PCRYPT_SIGN_MESSAGE_PARA pSignPara, BOOL fDetachedSignature,
                      DWORD cToBeSigned, const BYTE* rgpbToBeSigned[], DWORD rgcbToBeSigned[],
                      BYTE* pbSignedBlob, DWORD* pcbSignedBlob);
BOOL CryptVerifyMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara, DWORD dwSignerIndex,
                                 const BYTE* pbSignedBlob, DWORD cbSignedBlob, BYTE* pbDecoded,
                                 DWORD* pcbDecoded, PCCERT_CONTEXT* ppSignerCert);

// A signed message whose content travels apart from it: the content is
// given in pieces, which are verified as one.
BOOL CryptVerifyDetachedMessageSignature(PCRYPT_VERIFY_MESSAGE_PARA pVerifyPara,
                                         DWORD dwSignerIndex, const BYTE* pbDetachedSignBlob,
                                         DWORD cbDetachedSignBlob, DWORD cToBeSigned,
                                         const BYTE* rgpbToBeSigned[], DWORD rgcbToBeSigned[],
                                         PCCERT_CONTEXT* ppSignerCert);

// Reading a signed message (attached or detached) without verifying it; only
// the decoding of a whole message is offered: no streaming, no enveloped or
// other types.
using HCRYPTMSG = void*;
inline constexpr DWORD CMSG_DETACHED_FLAG = 0x00000004;
inline constexpr DWORD CMSG_SIGNER_COUNT_PARAM = 5;
inline constexpr DWORD CMSG_SIGNER_AUTH_ATTR_PARAM = 9;
struct CRYPT_ATTRIBUTES {
    DWORD cAttr;
    PCRYPT_ATTRIBUTE rgAttr;
};
using PCRYPT_ATTRIBUTES = CRYPT_ATTRIBUTES*;
HCRYPTMSG CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                               HCRYPTPROV hCryptProv, void* pRecipientInfo, void* pStreamInfo);
BOOL CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData, DWORD cbData, BOOL fFinal);
// CMSG_SIGNER_COUNT_PARAM (a DWORD) and CMSG_SIGNER_AUTH_ATTR_PARAM (a
// CRYPT_ATTRIBUTES with everything it points to in the same buffer).
BOOL CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void* pvData,
                      DWORD* pcbData);
BOOL CryptMsgClose(HCRYPTMSG hCryptMsg);

// Decoding of structures; only the signing time (UTCTime or GeneralizedTime,
// to a FILETIME) is offered.
BOOL CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded,
                       DWORD cbEncoded, DWORD dwFlags, void* pvStructInfo, DWORD* pcbStructInfo);

// Names as text.
DWORD CertNameToStrA(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType, LPSTR psz,
                     DWORD csz);
