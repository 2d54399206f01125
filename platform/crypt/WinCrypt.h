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
// Signature algorithms a signer may name beside its key's own, and the keys
// and curves of elliptic-curve certificates.
inline constexpr char szOID_RSA_SSA_PSS[] = "1.2.840.113549.1.1.10";
inline constexpr char szOID_RSA_MGF1[] = "1.2.840.113549.1.1.8";
inline constexpr char szOID_ECC_PUBLIC_KEY[] = "1.2.840.10045.2.1";
inline constexpr char szOID_ECDSA_SHA256[] = "1.2.840.10045.4.3.2";
inline constexpr char szOID_ECDSA_SHA384[] = "1.2.840.10045.4.3.3";
inline constexpr char szOID_ECDSA_SHA512[] = "1.2.840.10045.4.3.4";
inline constexpr char szOID_ECC_CURVE_P256[] = "1.2.840.10045.3.1.7";
inline constexpr char szOID_ECC_CURVE_P384[] = "1.3.132.0.34";
inline constexpr char szOID_ECC_CURVE_P521[] = "1.3.132.0.35";
// Structure types given by number rather than by object identifier.
inline const LPCSTR PKCS_UTC_TIME = reinterpret_cast<LPCSTR>(17);
inline const LPCSTR PKCS_ATTRIBUTE = reinterpret_cast<LPCSTR>(22);
inline const LPCSTR X509_RSA_SSA_PSS_PARAMETERS = reinterpret_cast<LPCSTR>(75);

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

// With `cbSize` of the whole record, the signer names its signature
// algorithm (`HashEncryptionAlgorithm`); a record that ends before it, or an
// algorithm without an identifier, signs with the key's own: RSA PKCS#1
// v1.5 for an RSA key, ECDSA with the message's digest for an EC key. RSA-PSS
// takes szOID_RSA_SSA_PSS with its parameters (X509_RSA_SSA_PSS_PARAMETERS)
// encoded in `Parameters`; ECDSA takes szOID_ECDSA_SHA256/384/512 or
// szOID_ECC_PUBLIC_KEY.
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
    CRYPT_ALGORITHM_IDENTIFIER HashEncryptionAlgorithm;
    void* pvHashEncryptionAuxInfo;  // must be null
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

// RSASSA-PSS parameters (X509_RSA_SSA_PSS_PARAMETERS).
struct CRYPT_MASK_GEN_ALGORITHM {
    LPSTR pszObjId;  // szOID_RSA_MGF1
    CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
};
inline constexpr DWORD PKCS_RSA_SSA_PSS_TRAILER_FIELD_BC = 1;
struct CRYPT_RSA_SSA_PSS_PARAMETERS {
    CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
    CRYPT_MASK_GEN_ALGORITHM MaskGenAlgorithm;
    DWORD dwSaltLength;
    DWORD dwTrailerField;
};

// Random bytes from the provider (any context, or 0).
BOOL CryptGenRandom(HCRYPTPROV hProv, DWORD dwLen, BYTE* pbBuffer);

// Memory the certificate services hand out for the caller to free.
void CryptMemFree(LPVOID pv);

// Time stamps (RFC 3161): the request over the hash of the data, sent to an
// authority by HTTP POST, and its reply checked (granted, the imprint and the
// nonce those of the request, the token's signature made by its own
// certificate) before it is handed out. The thread's last error says why
// there is none: ERROR_WINHTTP_* for the transfer (timeout, a URL other than
// http or https, no connection, a status other than 200),
// ERROR_FILE_TOO_LARGE for a reply over the limit, CRYPT_E_ASN1_* for a reply
// that is not a time-stamp response, TRUST_E_TIME_STAMP for a request the
// authority refused, CRYPT_E_HASH_VALUE for another imprint, NTE_BAD_DATA
// for another nonce, NTE_BAD_SIGNATURE for a token its certificate did not
// sign.
using CRYPT_DER_BLOB = CRYPTOAPI_BLOB;
using LPCWSTR = const wchar_t*;
inline constexpr DWORD TIMESTAMP_DONT_HASH_DATA = 0x00000001;
inline constexpr DWORD TIMESTAMP_VERIFY_CONTEXT_SIGNATURE = 0x00000020;
inline constexpr DWORD TIMESTAMP_NO_AUTH_RETRIEVAL = 0x00020000;
struct CRYPT_TIMESTAMP_PARA {
    LPCSTR pszTSAPolicyId;
    BOOL fRequestCerts;
    CRYPT_INTEGER_BLOB Nonce;  // least significant byte first
    DWORD cExtension;
    CERT_EXTENSION* rgExtension;
};
struct CRYPT_TIMESTAMP_ACCURACY {
    DWORD dwSeconds;
    DWORD dwMillis;
    DWORD dwMicros;
};
struct CRYPT_TIMESTAMP_INFO {
    DWORD dwVersion;
    LPSTR pszTSAPolicyId;
    CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
    CRYPT_DER_BLOB HashedMessage;
    CRYPT_INTEGER_BLOB SerialNumber;
    FILETIME ftTime;
    CRYPT_TIMESTAMP_ACCURACY* pvAccuracy;
    BOOL fOrdering;
    CRYPT_DER_BLOB Nonce;
    CRYPT_DER_BLOB Tsa;
    DWORD cExtension;
    CERT_EXTENSION* rgExtension;
};
using PCRYPT_TIMESTAMP_INFO = CRYPT_TIMESTAMP_INFO*;
// The token (a ContentInfo) and what it says, in one block for CryptMemFree.
struct CRYPT_TIMESTAMP_CONTEXT {
    DWORD cbEncoded;
    BYTE* pbEncoded;
    PCRYPT_TIMESTAMP_INFO pTimeStamp;
};
using PCRYPT_TIMESTAMP_CONTEXT = CRYPT_TIMESTAMP_CONTEXT*;
// `dwTimeout` in milliseconds; the signer's certificate and a store of the
// certificates the token carries are handed out when asked (either may be
// null).
BOOL CryptRetrieveTimeStamp(LPCWSTR wszUrl, DWORD dwRetrievalFlags, DWORD dwTimeout,
                            LPCSTR pszHashId, const CRYPT_TIMESTAMP_PARA* pPara, const BYTE* pbData,
                            DWORD cbData, PCRYPT_TIMESTAMP_CONTEXT* ppTsContext,
                            PCCERT_CONTEXT* ppTsSigner, HCERTSTORE* phStore);
// Checks a token (a ContentInfo) against the data it stamps: its signature
// by its own certificate and its imprint (CRYPT_E_HASH_VALUE when the imprint
// is another's).
BOOL CryptVerifyTimeStampSignature(const BYTE* pbTSContentInfo, DWORD cbTSContentInfo,
                                   const BYTE* pbData, DWORD cbData, HCERTSTORE hAdditionalStore,
                                   PCRYPT_TIMESTAMP_CONTEXT* ppTsContext,
                                   PCCERT_CONTEXT* ppTsSigner, HCERTSTORE* phStore);

// Hashing of encoded data (a certificate, for example) with a digest named by
// its algorithm identifier: CALG_SHA_256, CALG_SHA_384 or CALG_SHA_512 (and
// the older CALG_SHA1, CALG_MD5); NTE_BAD_ALGID for any other. The size of
// the hash comes back in *pcbComputedHash; a null buffer asks for it only.
inline constexpr ALG_ID CALG_MD5 = 0x00008003;
inline constexpr ALG_ID CALG_SHA1 = 0x00008004;
inline constexpr ALG_ID CALG_SHA_256 = 0x0000800c;
inline constexpr ALG_ID CALG_SHA_384 = 0x0000800d;
inline constexpr ALG_ID CALG_SHA_512 = 0x0000800e;
BOOL CryptHashCertificate(HCRYPTPROV hCryptProv, ALG_ID Algid, DWORD dwFlags, const BYTE* pbEncoded,
                          DWORD cbEncoded, BYTE* pbComputedHash, DWORD* pcbComputedHash);

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

// Encoding of structures: the signing time (PKCS_UTC_TIME, a FILETIME), an
// attribute (PKCS_ATTRIBUTE, a CRYPT_ATTRIBUTE whose values are DER) and
// RSASSA-PSS parameters (X509_RSA_SSA_PSS_PARAMETERS).
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
inline constexpr DWORD CMSG_SIGNER_INFO_PARAM = 6;
inline constexpr DWORD CMSG_SIGNER_AUTH_ATTR_PARAM = 9;
inline constexpr DWORD CMSG_SIGNER_UNAUTH_ATTR_PARAM = 10;
inline constexpr DWORD CMSG_ENCRYPTED_DIGEST = 13;
inline constexpr DWORD CMSG_ENCODED_MESSAGE = 29;
inline constexpr DWORD CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR = 8;
struct CRYPT_ATTRIBUTES {
    DWORD cAttr;
    PCRYPT_ATTRIBUTE rgAttr;
};
using PCRYPT_ATTRIBUTES = CRYPT_ATTRIBUTES*;
HCRYPTMSG CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType,
                               HCRYPTPROV hCryptProv, void* pRecipientInfo, void* pStreamInfo);
BOOL CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE* pbData, DWORD cbData, BOOL fFinal);
// CMSG_SIGNER_COUNT_PARAM (a DWORD); CMSG_SIGNER_INFO_PARAM (a
// CMSG_SIGNER_INFO), CMSG_SIGNER_AUTH_ATTR_PARAM and
// CMSG_SIGNER_UNAUTH_ATTR_PARAM (a CRYPT_ATTRIBUTES), each with everything it
// points to in the same buffer; CMSG_ENCRYPTED_DIGEST (the signer's
// signature value) and CMSG_ENCODED_MESSAGE (the message as it now is, with
// what CryptMsgControl added), as bytes.
BOOL CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void* pvData,
                      DWORD* pcbData);
struct CMSG_SIGNER_INFO {
    DWORD dwVersion;
    CERT_NAME_BLOB Issuer;
    CRYPT_INTEGER_BLOB SerialNumber;  // least significant byte first
    CRYPT_ALGORITHM_IDENTIFIER HashAlgorithm;
    CRYPT_ALGORITHM_IDENTIFIER HashEncryptionAlgorithm;
    CRYPT_DATA_BLOB EncryptedHash;
    CRYPT_ATTRIBUTES AuthAttrs;
    CRYPT_ATTRIBUTES UnauthAttrs;
};
using PCMSG_SIGNER_INFO = CMSG_SIGNER_INFO*;
// CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR: adds an attribute (its DER, as
// CryptEncodeObject makes it of PKCS_ATTRIBUTE) to a signer's unauthenticated
// attributes; CMSG_ENCODED_MESSAGE then gives the message with it.
struct CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR_PARA {
    DWORD cbSize;
    DWORD dwSignerIndex;
    CRYPT_DATA_BLOB blob;
};
BOOL CryptMsgControl(HCRYPTMSG hCryptMsg, DWORD dwFlags, DWORD dwCtrlType, const void* pvCtrlPara);
BOOL CryptMsgClose(HCRYPTMSG hCryptMsg);

// Decoding of structures; only the signing time (UTCTime or GeneralizedTime,
// to a FILETIME) is offered.
BOOL CryptDecodeObject(DWORD dwCertEncodingType, LPCSTR lpszStructType, const BYTE* pbEncoded,
                       DWORD cbEncoded, DWORD dwFlags, void* pvStructInfo, DWORD* pcbStructInfo);

// Names as text.
DWORD CertNameToStrA(DWORD dwCertEncodingType, PCERT_NAME_BLOB pName, DWORD dwStrType, LPSTR psz,
                     DWORD csz);
