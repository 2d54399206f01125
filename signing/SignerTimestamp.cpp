// CAdES-T: a time stamp over the signer's signature value, asked of a
// time-stamping authority and added to the message as the unsigned
// attribute signature-time-stamp-token.

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "control/OstrelSigner.h"
#include "platform/crypt/Config.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/win/LastError.h"
#include "platform/win/Time.h"
#include "platform/win/WinError.h"
#include "signing/SignerDer.h"
#include "signing/SignerPipeline.h"

namespace {

constexpr char kTimeStampTokenOid[] = "1.2.840.113549.1.9.16.2.14";
constexpr DWORD kTimeoutMs = 10000;
constexpr std::int64_t kLeewaySeconds = 60;
constexpr std::size_t kNonceSize = 16;

HRESULT HresultOf(DWORD code) {
    if (code == 0) return HRESULT(E_FAIL);
    if ((code & 0x80000000u) != 0) return HRESULT(code);
    return HRESULT(0x80070000u | (code & 0xFFFFu));
}

// What went wrong with the authority, in words, for the thread's last error
// as the time-stamp functions set it; empty for a code they do not document.
std::string AuthorityFault(DWORD code) {
    switch (code) {
        case ERROR_WINHTTP_TIMEOUT:
            return "it did not answer within " + std::to_string(kTimeoutMs / 1000) + " s";
        case ERROR_WINHTTP_CANNOT_CONNECT:
            return "no connection could be made to it";
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
            return "its host name could not be resolved";
        case ERROR_WINHTTP_INVALID_URL:
        case ERROR_WINHTTP_UNRECOGNIZED_SCHEME:
            return "the URL is not an http or https URL";
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
            return "it answered with an HTTP error status or a broken reply";
        case ERROR_FILE_TOO_LARGE:
            return "its reply is larger than the 1 MiB allowed";
        case DWORD(TRUST_E_TIME_STAMP):
            return "it refused the request";
        case DWORD(CRYPT_E_HASH_VALUE):
            return "its time stamp is over other data than this signature (wrong message "
                   "imprint)";
        case DWORD(NTE_BAD_DATA):
            return "its time stamp carries another nonce than the request's";
        case DWORD(NTE_BAD_SIGNATURE):
            return "its time stamp's signature does not verify with its own certificate";
        default:
            if ((code & 0xFFFFFF00u) == (DWORD(CRYPT_E_ASN1_ERROR) & 0xFFFFFF00u))
                return "its reply is not a time-stamp response";
            return {};
    }
}

// Throws the signer's exception for the thread's last error after a
// time-stamp call to `url` failed: the authority, what went wrong and the
// system's text for the code.
[[noreturn]] void ThrowAuthorityError(const std::string& url) {
    const DWORD code = GetLastError();
    const std::string fault = AuthorityFault(code);
    if (fault.empty()) ThrowLastError("No time stamp from " + url);
    ThrowSignerError(HresultOf(code), "No time stamp from " + url + ": " + fault + ".");
}

// An opened message, closed on every way out.
class DecodedMessage {
public:
    DecodedMessage(const std::vector<BYTE>& message, bool detached) {
        m_msg = CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING,
                                     detached ? CMSG_DETACHED_FLAG : 0, 0, 0, nullptr, nullptr);
        if (m_msg == nullptr) ThrowLastError("The signed message cannot be read again");
        if (!CryptMsgUpdate(m_msg, message.data(), DWORD(message.size()), TRUE)) {
            const DWORD code = GetLastError();
            CryptMsgClose(m_msg);
            SetLastError(code);
            ThrowLastError("The signed message cannot be read again");
        }
    }
    ~DecodedMessage() { CryptMsgClose(m_msg); }
    DecodedMessage(const DecodedMessage&) = delete;
    DecodedMessage& operator=(const DecodedMessage&) = delete;

    std::vector<BYTE> Param(DWORD type, const char* what) {
        DWORD size = 0;
        if (!CryptMsgGetParam(m_msg, type, 0, nullptr, &size)) ThrowLastError(what);
        std::vector<BYTE> out(size);
        if (!CryptMsgGetParam(m_msg, type, 0, out.data(), &size)) ThrowLastError(what);
        out.resize(size);
        return out;
    }
    HCRYPTMSG Get() const { return m_msg; }

private:
    HCRYPTMSG m_msg = nullptr;
};

// The authority's answer, freed on every way out.
struct TimestampContext {
    PCRYPT_TIMESTAMP_CONTEXT context = nullptr;
    TimestampContext() = default;
    TimestampContext(const TimestampContext&) = delete;
    TimestampContext& operator=(const TimestampContext&) = delete;
    ~TimestampContext() {
        if (context != nullptr) CryptMemFree(context);
    }
};

ALG_ID AlgorithmOf(const char* hashOid) {
    if (std::strcmp(hashOid, szOID_NIST_sha384) == 0) return CALG_SHA_384;
    if (std::strcmp(hashOid, szOID_NIST_sha512) == 0) return CALG_SHA_512;
    return CALG_SHA_256;
}

bool Same(const BYTE* a, DWORD na, const std::vector<BYTE>& b) {
    return na == b.size() && (na == 0 || (a != nullptr && std::memcmp(a, b.data(), na) == 0));
}

std::int64_t SecondsOf(const FILETIME& t) {
    return std::int64_t(((std::uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000000u);
}

std::wstring Wide(const std::string& url) {
    std::wstring out;
    for (const unsigned char c : url) {
        if (c >= 0x80)
            ThrowSignerError(HRESULT(E_INVALIDARG), "The time-stamping authority's URL \"" + url +
                                                        "\" must be ASCII (percent-encoded).");
        out.push_back(wchar_t(c));
    }
    return out;
}

}  // namespace

std::string TimestampAuthority(const SignerOptions& options) {
    std::string url;
    std::string source;
    if (options.tsa) {
        url = *options.tsa;
        source = "the option \"tsa\"";
    } else if (const char* env = std::getenv("OSTREL_TSA"); env != nullptr && *env != 0) {
        url = env;
        source = "OSTREL_TSA";
    } else {
        const platform::crypt::ConfigLookup configured =
            platform::crypt::LookUpConfig("timestamp-url");
        if (!configured.value || configured.value->empty()) {
            std::string description =
                "CAdES-T needs a time-stamping authority: give \"tsa\" in the options, set "
                "OSTREL_TSA, or set timestamp-url in ostrel.conf";
            if (configured.warning) description += " (" + *configured.warning + ")";
            ThrowSignerError(HRESULT(E_INVALIDARG), description + ".");
        }
        url = *configured.value;
        source = "timestamp-url in " + configured.file.string();
    }
    // Checked before anything is signed: the key is not used for a signature
    // whose time stamp cannot even be asked for.
    std::string scheme = url.substr(0, url.find("://"));
    for (char& c : scheme) c = char(std::tolower(static_cast<unsigned char>(c)));
    if (url.find("://") == std::string::npos || (scheme != "http" && scheme != "https"))
        ThrowSignerError(HRESULT(E_INVALIDARG), "The time-stamping authority \"" + url +
                                                    "\" from " + source +
                                                    " is not an http or https URL.");
    Wide(url);
    return url;
}

std::vector<BYTE> AddSignatureTimestamp(const std::vector<BYTE>& message, bool detached,
                                        const char* hashOid, const std::string& url) {
    const std::wstring wideUrl = Wide(url);
    DecodedMessage msg(message, detached);
    const std::vector<BYTE> signature =
        msg.Param(CMSG_ENCRYPTED_DIGEST, "The signature value cannot be read");

    // Least significant byte first; the last byte, the most significant, is
    // kept positive and non-zero so that the integer keeps its full length.
    std::vector<BYTE> nonce(kNonceSize);
    if (!CryptGenRandom(0, DWORD(nonce.size()), nonce.data()))
        ThrowLastError("No nonce for the time-stamp request");
    nonce.back() = BYTE((nonce.back() & 0x7F) | 0x01);

    CRYPT_TIMESTAMP_PARA para;
    std::memset(&para, 0, sizeof para);
    para.fRequestCerts = TRUE;
    para.Nonce = {DWORD(nonce.size()), nonce.data()};
    TimestampContext answer;
    if (!CryptRetrieveTimeStamp(wideUrl.c_str(), 0, kTimeoutMs, hashOid, &para, signature.data(),
                                DWORD(signature.size()), &answer.context, nullptr, nullptr))
        ThrowAuthorityError(url);

    // The platform checked the answer; what the signature relies on is
    // checked again, cheaply.
    const CRYPT_TIMESTAMP_INFO* info =
        answer.context != nullptr ? answer.context->pTimeStamp : nullptr;
    if (info == nullptr || answer.context->pbEncoded == nullptr || answer.context->cbEncoded == 0) {
        SetLastError(DWORD(TRUST_E_TIME_STAMP));
        ThrowAuthorityError(url);
    }
    BYTE digest[64];
    DWORD digestSize = sizeof digest;
    if (!CryptHashCertificate(0, AlgorithmOf(hashOid), 0, signature.data(), DWORD(signature.size()),
                              digest, &digestSize))
        ThrowLastError("The signature value cannot be hashed");
    if (info->HashAlgorithm.pszObjId == nullptr ||
        std::strcmp(info->HashAlgorithm.pszObjId, hashOid) != 0 ||
        !Same(info->HashedMessage.pbData, info->HashedMessage.cbData,
              std::vector<BYTE>(digest, digest + digestSize))) {
        SetLastError(DWORD(CRYPT_E_HASH_VALUE));
        ThrowAuthorityError(url);
    }
    if (!Same(info->Nonce.pbData, info->Nonce.cbData, nonce)) {
        SetLastError(DWORD(NTE_BAD_DATA));
        ThrowAuthorityError(url);
    }
    SYSTEMTIME now;
    FILETIME clock{};
    GetSystemTime(&now);
    if (!SystemTimeToFileTime(&now, &clock)) ThrowLastError("The clock cannot be read");
    const std::int64_t skew = SecondsOf(info->ftTime) - SecondsOf(clock);
    if (skew > kLeewaySeconds || skew < -kLeewaySeconds)
        ThrowSignerError(
            HRESULT(TRUST_E_TIME_STAMP),
            "The time stamp from " + url + " is " + std::to_string(skew < 0 ? -skew : skew) +
                " s " + (skew < 0 ? "behind" : "ahead of") + " this computer's clock (more than " +
                std::to_string(kLeewaySeconds) + " s): check the clock.");

    const std::vector<BYTE> attribute = signer_der::Attribute(
        kTimeStampTokenOid,
        std::span<const BYTE>(answer.context->pbEncoded, answer.context->cbEncoded));
    CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR_PARA add;
    std::memset(&add, 0, sizeof add);
    add.cbSize = sizeof add;
    add.dwSignerIndex = 0;
    add.blob = {DWORD(attribute.size()), const_cast<BYTE*>(attribute.data())};
    if (!CryptMsgControl(msg.Get(), 0, CMSG_CTRL_ADD_SIGNER_UNAUTH_ATTR, &add))
        ThrowLastError("The time stamp cannot be added to the signature");
    return msg.Param(CMSG_ENCODED_MESSAGE, "The time-stamped signature cannot be written");
}
