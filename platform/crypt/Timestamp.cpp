// Time stamps from a time-stamping authority: the request built and the reply
// read with OpenSSL's TS support, the exchange done by libcurl (HTTP POST,
// http and https only, the proxy from the environment as libcurl reads it).
// libcurl is loaded the first time a process asks for a time stamp, so that
// nothing else pays for it or for the libraries it brings.
// A token is handed out only once it is checked: granted, signed by the
// time-stamping certificate it carries, over the imprint and with the nonce
// that were asked for. Also the provider's random bytes and the freeing of
// the memory these calls hand out.

#include <curl/curl.h>
#include <dlfcn.h>
#include <openssl/cms.h>
#include <openssl/rand.h>
#include <openssl/ts.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/crypt/Certificate.h"
#include "platform/crypt/Ossl.h"
#include "platform/crypt/Store.h"
#include "platform/crypt/WinCrypt.h"
#include "platform/win/Crt.h"
#include "platform/win/Failure.h"
#include "platform/win/LastError.h"
#include "platform/win/Time.h"
#include "platform/win/WinError.h"

namespace platform::crypt {
namespace {

using Failed = platform::Failure;
using ossl::Deleter;
using TsReqPtr = std::unique_ptr<TS_REQ, Deleter<TS_REQ_free>>;
using TsRespPtr = std::unique_ptr<TS_RESP, Deleter<TS_RESP_free>>;
using TstInfoPtr = std::unique_ptr<TS_TST_INFO, Deleter<TS_TST_INFO_free>>;
using ImprintPtr = std::unique_ptr<TS_MSG_IMPRINT, Deleter<TS_MSG_IMPRINT_free>>;
using AlgorPtr = std::unique_ptr<X509_ALGOR, Deleter<X509_ALGOR_free>>;
using CmsPtr = std::unique_ptr<CMS_ContentInfo, Deleter<CMS_ContentInfo_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION_free>>;
using OctetsPtr = std::unique_ptr<ASN1_OCTET_STRING, Deleter<ASN1_OCTET_STRING_free>>;

void FreeCerts(STACK_OF(X509) * certs) {
    sk_X509_pop_free(certs, X509_free);
}
using CertsPtr = std::unique_ptr<STACK_OF(X509), Deleter<FreeCerts>>;

constexpr DWORD kDefaultTimeoutMs = 10'000;
constexpr curl_off_t kReplyLimit = 1 << 20;
constexpr std::size_t kOwnNonceBytes = 16;
constexpr DWORD kKnownFlags =
    TIMESTAMP_DONT_HASH_DATA | TIMESTAMP_VERIFY_CONTEXT_SIGNATURE | TIMESTAMP_NO_AUTH_RETRIEVAL;

// The digests a request may name: the SHA-2 family, and SHA-1 for authorities
// that know no other.
const EVP_MD* DigestNamed(std::string_view oid) {
    if (oid == szOID_NIST_sha256) return EVP_sha256();
    if (oid == szOID_NIST_sha384) return EVP_sha384();
    if (oid == szOID_NIST_sha512) return EVP_sha512();
    if (oid == szOID_OIWSEC_sha1) return EVP_sha1();
    return nullptr;
}

std::vector<BYTE> Digest(const EVP_MD* md, const BYTE* data, std::size_t size) {
    std::vector<BYTE> out(std::size_t(EVP_MD_get_size(md)));
    unsigned int n = 0;
    static const BYTE kNone = 0;
    if (EVP_Digest(data != nullptr ? data : &kNone, size, out.data(), &n, md, nullptr) != 1) {
        ossl::DropErrors();
        throw Failed(NTE_FAIL, "the digest could not be computed");
    }
    return out;
}

// Integers as the platform's records carry them: least significant byte first.
std::vector<BYTE> LittleEndian(const ASN1_INTEGER* value) {
    if (value == nullptr) return {};
    ossl::BignumPtr bn(ASN1_INTEGER_to_BN(value, nullptr));
    if (!bn) throw std::bad_alloc();
    std::vector<BYTE> out(std::size_t(BN_num_bytes(bn.get())));
    if (!out.empty()) BN_bn2lebinpad(bn.get(), out.data(), int(out.size()));
    return out;
}

ossl::Asn1IntegerPtr IntegerFrom(const BYTE* littleEndian, std::size_t size) {
    ossl::BignumPtr bn(BN_lebin2bn(littleEndian, int(size), nullptr));
    if (!bn) throw std::bad_alloc();
    ossl::Asn1IntegerPtr value(BN_to_ASN1_INTEGER(bn.get(), nullptr));
    if (!value) throw std::bad_alloc();
    return value;
}

// The URL as libcurl takes it. URLs are ASCII; anything else is refused
// rather than guessed at.
std::string UrlText(LPCWSTR url) {
    std::string out;
    for (const wchar_t* p = url; *p != L'\0'; ++p) {
        if (*p <= 0x20 || *p >= 0x7F)
            throw Failed(ERROR_WINHTTP_INVALID_URL, "the URL is not ASCII");
        out += char(*p);
    }
    const auto colon = out.find("://");
    if (colon == std::string::npos || colon == 0)
        throw Failed(ERROR_WINHTTP_INVALID_URL, "\"" + out + "\" is not an absolute URL");
    std::string scheme = out.substr(0, colon);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (scheme != "http" && scheme != "https")
        throw Failed(ERROR_WINHTTP_UNRECOGNIZED_SCHEME,
                     "a time-stamping authority is reached by http or https, not " + scheme);
    return out;
}

// ---- the exchange -------------------------------------------------------

// The libcurl functions the exchange calls, bound once per process.
struct CurlApi {
    CURLcode (*global_init)(long) = nullptr;
    const char* (*easy_strerror)(CURLcode) = nullptr;
    CURL* (*easy_init)() = nullptr;
    void (*easy_cleanup)(CURL*) = nullptr;
    CURLcode (*easy_setopt)(CURL*, CURLoption, ...) = nullptr;
    CURLcode (*easy_perform)(CURL*) = nullptr;
    CURLcode (*easy_getinfo)(CURL*, CURLINFO, ...) = nullptr;
    curl_slist* (*slist_append)(curl_slist*, const char*) = nullptr;
    void (*slist_free_all)(curl_slist*) = nullptr;
};

constexpr const char* kCurlLibrary = "libcurl.so.4";

struct CurlBinding {
    CurlApi api;
    std::string why;  // empty when bound and started
};

template <class F>
void BindCurl(void* library, const char* name, F& into, std::string& why) {
    into = reinterpret_cast<F>(::dlsym(library, name));
    if (into == nullptr && why.empty()) why = std::string(kCurlLibrary) + " has no " + name;
}

CurlBinding LoadCurl() {
    CurlBinding b;
    // Kept loaded until the process ends: libcurl's global state lives in it.
    void* library = ::dlopen(kCurlLibrary, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* error = ::dlerror();
        b.why =
            std::string("libcurl cannot be loaded: ") + (error != nullptr ? error : kCurlLibrary);
        return b;
    }
    CurlApi& a = b.api;
    BindCurl(library, "curl_global_init", a.global_init, b.why);
    BindCurl(library, "curl_easy_strerror", a.easy_strerror, b.why);
    BindCurl(library, "curl_easy_init", a.easy_init, b.why);
    BindCurl(library, "curl_easy_cleanup", a.easy_cleanup, b.why);
    BindCurl(library, "curl_easy_setopt", a.easy_setopt, b.why);
    BindCurl(library, "curl_easy_perform", a.easy_perform, b.why);
    BindCurl(library, "curl_easy_getinfo", a.easy_getinfo, b.why);
    BindCurl(library, "curl_slist_append", a.slist_append, b.why);
    BindCurl(library, "curl_slist_free_all", a.slist_free_all, b.why);
    if (!b.why.empty()) return b;
    const CURLcode started = a.global_init(CURL_GLOBAL_DEFAULT);
    if (started != CURLE_OK)
        b.why = std::string("libcurl could not start: ") + a.easy_strerror(started);
    return b;
}

const CurlApi& Curl() {
    static const CurlBinding binding = LoadCurl();
    if (!binding.why.empty()) throw Failed(ERROR_WINHTTP_CANNOT_CONNECT, binding.why);
    return binding.api;
}

struct EasyCleanup {
    void operator()(CURL* c) const { Curl().easy_cleanup(c); }
};
struct SlistFree {
    void operator()(curl_slist* l) const { Curl().slist_free_all(l); }
};
using CurlPtr = std::unique_ptr<CURL, EasyCleanup>;
using HeadersPtr = std::unique_ptr<curl_slist, SlistFree>;

struct Reply {
    std::vector<BYTE> body;
    bool tooLarge = false;
};

std::size_t TakeBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* reply = static_cast<Reply*>(user);
    const std::size_t n = size * count;
    if (reply->body.size() + n > std::size_t(kReplyLimit)) {
        reply->tooLarge = true;
        return 0;  // ends the transfer
    }
    reply->body.insert(reply->body.end(), data, data + n);
    return n;
}

DWORD TransferError(CURLcode code) {
    switch (code) {
        case CURLE_OPERATION_TIMEDOUT:
            return ERROR_WINHTTP_TIMEOUT;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return ERROR_WINHTTP_UNRECOGNIZED_SCHEME;
        case CURLE_URL_MALFORMAT:
            return ERROR_WINHTTP_INVALID_URL;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return ERROR_WINHTTP_NAME_NOT_RESOLVED;
        case CURLE_FILESIZE_EXCEEDED:
            return ERROR_FILE_TOO_LARGE;
        case CURLE_COULDNT_CONNECT:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
            return ERROR_WINHTTP_CANNOT_CONNECT;
        default:
            return ERROR_WINHTTP_INVALID_SERVER_RESPONSE;
    }
}

std::vector<BYTE> Post(const std::string& url, const std::vector<BYTE>& query, DWORD timeoutMs) {
    const CurlApi& api = Curl();
    CurlPtr curl(api.easy_init());
    if (!curl) throw std::bad_alloc();
    HeadersPtr headers;
    for (const char* header : {"Content-Type: application/timestamp-query",
                               "Accept: application/timestamp-reply", "Expect:"}) {
        curl_slist* more = api.slist_append(headers.get(), header);
        if (more == nullptr) throw std::bad_alloc();
        (void)headers.release();
        headers.reset(more);
    }
    Reply reply;
    char error[CURL_ERROR_SIZE] = {};
    CURL* c = curl.get();
    api.easy_setopt(c, CURLOPT_URL, url.c_str());
    api.easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    api.easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    api.easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    api.easy_setopt(c, CURLOPT_POST, 1L);
    api.easy_setopt(c, CURLOPT_POSTFIELDS, query.data());
    api.easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(query.size()));
    api.easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    api.easy_setopt(c, CURLOPT_USERAGENT, "ostrel");
    api.easy_setopt(c, CURLOPT_TIMEOUT_MS, long(timeoutMs));
    api.easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, kReplyLimit);
    api.easy_setopt(c, CURLOPT_WRITEFUNCTION, &TakeBody);
    api.easy_setopt(c, CURLOPT_WRITEDATA, &reply);
    api.easy_setopt(c, CURLOPT_ERRORBUFFER, error);
    const CURLcode done = api.easy_perform(c);
    if (reply.tooLarge || done == CURLE_FILESIZE_EXCEEDED)
        throw Failed(ERROR_FILE_TOO_LARGE, "the time-stamping authority's reply is over " +
                                               std::to_string(kReplyLimit) + " bytes");
    if (done != CURLE_OK)
        throw Failed(TransferError(done),
                     "the time-stamping authority at " + url +
                         " was not reached: " + (*error != '\0' ? error : api.easy_strerror(done)));
    long status = 0;
    api.easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200)
        throw Failed(ERROR_WINHTTP_INVALID_SERVER_RESPONSE,
                     "the time-stamping authority at " + url + " answered with HTTP status " +
                         std::to_string(status));
    return std::move(reply.body);
}

// ---- the request --------------------------------------------------------

struct Request {
    const EVP_MD* md = nullptr;
    std::vector<BYTE> imprint;
    ossl::Asn1IntegerPtr nonce;
    std::string policy;
    std::vector<BYTE> der;
};

Request BuildRequest(const EVP_MD* md, std::vector<BYTE> imprint,
                     const CRYPT_TIMESTAMP_PARA* para) {
    Request request;
    request.md = md;
    request.imprint = std::move(imprint);
    TsReqPtr req(TS_REQ_new());
    ImprintPtr msg(TS_MSG_IMPRINT_new());
    AlgorPtr alg(X509_ALGOR_new());
    if (!req || !msg || !alg) throw std::bad_alloc();
    X509_ALGOR_set_md(alg.get(), md);
    if (TS_REQ_set_version(req.get(), 1) != 1 ||
        TS_MSG_IMPRINT_set_algo(msg.get(), alg.get()) != 1 ||
        TS_MSG_IMPRINT_set_msg(msg.get(), request.imprint.data(), int(request.imprint.size())) !=
            1 ||
        TS_REQ_set_msg_imprint(req.get(), msg.get()) != 1)
        throw std::bad_alloc();
    // A nonce the caller gives is sent as it is; without one, a fresh one of
    // this call's own (the reply's is in the context handed out).
    if (para != nullptr && para->Nonce.cbData != 0) {
        if (para->Nonce.pbData == nullptr) throw Failed(E_INVALIDARG, "a nonce without its bytes");
        request.nonce = IntegerFrom(para->Nonce.pbData, para->Nonce.cbData);
    } else {
        BYTE own[kOwnNonceBytes];
        if (RAND_bytes(own, sizeof own) != 1) throw Failed(NTE_FAIL, "no random bytes for a nonce");
        request.nonce = IntegerFrom(own, sizeof own);
    }
    if (TS_REQ_set_nonce(req.get(), request.nonce.get()) != 1) throw std::bad_alloc();
    // Without a record of the caller's, the certificates are asked for: the
    // token's signature is checked against its own certificate.
    if (TS_REQ_set_cert_req(req.get(), para == nullptr || para->fRequestCerts) != 1)
        throw std::bad_alloc();
    if (para != nullptr && para->pszTSAPolicyId != nullptr) {
        request.policy = para->pszTSAPolicyId;
        ossl::Asn1ObjectPtr policy(OBJ_txt2obj(para->pszTSAPolicyId, 1));
        if (!policy) {
            ossl::DropErrors();
            throw Failed(E_INVALIDARG, "\"" + request.policy + "\" is not an object identifier");
        }
        if (TS_REQ_set_policy_id(req.get(), policy.get()) != 1) throw std::bad_alloc();
    }
    if (para != nullptr && para->cExtension != 0) {
        if (para->rgExtension == nullptr) throw Failed(E_INVALIDARG, "extensions without a list");
        for (DWORD i = 0; i < para->cExtension; ++i) {
            const CERT_EXTENSION& e = para->rgExtension[i];
            ossl::Asn1ObjectPtr oid(e.pszObjId != nullptr ? OBJ_txt2obj(e.pszObjId, 1) : nullptr);
            OctetsPtr value(ASN1_OCTET_STRING_new());
            if (!oid) {
                ossl::DropErrors();
                throw Failed(E_INVALIDARG, "an extension without a valid object identifier");
            }
            if (!value ||
                ASN1_OCTET_STRING_set(value.get(), e.Value.pbData, int(e.Value.cbData)) != 1)
                throw std::bad_alloc();
            ExtensionPtr ext(
                X509_EXTENSION_create_by_OBJ(nullptr, oid.get(), e.fCritical ? 1 : 0, value.get()));
            if (!ext || TS_REQ_add_ext(req.get(), ext.get(), -1) != 1) throw std::bad_alloc();
        }
    }
    request.der = ossl::ToDer(req.get(), i2d_TS_REQ);
    if (request.der.empty()) throw std::bad_alloc();
    return request;
}

// ---- the token ----------------------------------------------------------

// A token read and its signature checked, with what it says.
struct Token {
    std::vector<BYTE> der;  // the ContentInfo
    CmsPtr cms;
    TstInfoPtr info;
    ossl::X509Ptr signer;
    CertsPtr certs;  // those the token carries
};

// Reads a token (a ContentInfo of signed data over a TSTInfo) and checks that
// its one signer's certificate, found among those it carries or `extra`, is a
// time-stamping certificate and made its signature.
Token CheckToken(std::vector<BYTE> der, STACK_OF(X509) * extra) {
    Token token;
    token.der = std::move(der);
    const unsigned char* p = token.der.data();
    token.cms.reset(d2i_CMS_ContentInfo(nullptr, &p, long(token.der.size())));
    if (!token.cms || p != token.der.data() + token.der.size()) {
        ossl::DropErrors();
        throw Failed(CRYPT_E_ASN1_CORRUPT, "the time-stamp token is not a signed message");
    }
    CMS_ContentInfo* cms = token.cms.get();
    if (OBJ_obj2nid(CMS_get0_type(cms)) != NID_pkcs7_signed ||
        OBJ_obj2nid(CMS_get0_eContentType(cms)) != NID_id_smime_ct_TSTInfo)
        throw Failed(CRYPT_E_INVALID_MSG_TYPE, "the signed message is not a time-stamp token");
    ASN1_OCTET_STRING** content = CMS_get0_content(cms);
    if (content == nullptr || *content == nullptr)
        throw Failed(CRYPT_E_ASN1_CORRUPT, "the time-stamp token has no content");
    const unsigned char* q = ASN1_STRING_get0_data(*content);
    const long length = ASN1_STRING_length(*content);
    token.info.reset(d2i_TS_TST_INFO(nullptr, &q, length));
    if (!token.info || q != ASN1_STRING_get0_data(*content) + length) {
        ossl::DropErrors();
        throw Failed(CRYPT_E_ASN1_CORRUPT, "the time-stamp token's content is damaged");
    }
    if (sk_CMS_SignerInfo_num(CMS_get0_SignerInfos(cms)) != 1)
        throw Failed(TRUST_E_TIME_STAMP, "a time-stamp token has one signer");
    // The signature over the signed attributes and the content's digest in
    // them; the certificate's own chain is for the relying party to judge.
    if (CMS_verify(cms, extra, nullptr, nullptr, nullptr, CMS_NO_SIGNER_CERT_VERIFY | CMS_BINARY) !=
        1) {
        const unsigned long e = ERR_peek_last_error();
        const bool missing = ERR_GET_LIB(e) == ERR_LIB_CMS &&
                             ERR_GET_REASON(e) == CMS_R_SIGNER_CERTIFICATE_NOT_FOUND;
        ossl::DropErrors();
        if (missing)
            throw Failed(TRUST_E_TIME_STAMP,
                         "the certificate of the time-stamp token's signer is not at hand");
        throw Failed(NTE_BAD_SIGNATURE,
                     "the time-stamp token's signature was not made by its certificate");
    }
    CertsPtr signers(CMS_get0_signers(cms));
    if (!signers || sk_X509_num(signers.get()) != 1) throw Failed(TRUST_E_TIME_STAMP);
    // The stack holds the certificates without owning them.
    X509* signer = sk_X509_value(signers.get(), 0);
    X509_up_ref(signer);
    sk_X509_free(signers.release());
    token.signer.reset(signer);
    if (X509_check_purpose(signer, X509_PURPOSE_TIMESTAMP_SIGN, 0) != 1) {
        ossl::DropErrors();
        throw Failed(TRUST_E_TIME_STAMP,
                     "the time-stamp token's signer is no time-stamping certificate "
                     "(extendedKeyUsage timeStamping, critical)");
    }
    token.certs.reset(CMS_get1_certs(cms));
    return token;
}

void CheckImprint(const TS_TST_INFO* info, const EVP_MD* md, const std::vector<BYTE>& imprint) {
    TS_MSG_IMPRINT* msg = TS_TST_INFO_get_msg_imprint(const_cast<TS_TST_INFO*>(info));
    const ASN1_OBJECT* alg = nullptr;
    X509_ALGOR_get0(&alg, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(msg));
    const ASN1_OCTET_STRING* hashed = TS_MSG_IMPRINT_get_msg(msg);
    if (OBJ_obj2nid(alg) != EVP_MD_get_type(md) ||
        std::size_t(ASN1_STRING_length(hashed)) != imprint.size() ||
        std::memcmp(ASN1_STRING_get0_data(hashed), imprint.data(), imprint.size()) != 0)
        throw Failed(CRYPT_E_HASH_VALUE, "the time stamp is over other data");
}

FILETIME TokenTime(const TS_TST_INFO* info) {
    const ASN1_GENERALIZEDTIME* time = TS_TST_INFO_get_time(info);
    std::tm tm{};
    if (time == nullptr || ASN1_TIME_to_tm(time, &tm) != 1) {
        ossl::DropErrors();
        throw Failed(CRYPT_E_ASN1_CORRUPT, "the time stamp's time is damaged");
    }
    std::uint64_t value =
        std::uint64_t(std::int64_t(timegm(&tm))) * 10'000'000 + platform::win::kUnixEpochAsFileTime;
    // GeneralizedTime may carry a fraction of a second: YYYYMMDDhhmmss.fffZ.
    const std::string text(reinterpret_cast<const char*>(ASN1_STRING_get0_data(time)),
                           std::size_t(ASN1_STRING_length(time)));
    if (const auto dot = text.find('.'); dot != std::string::npos) {
        std::uint64_t scale = 1'000'000;
        for (std::size_t i = dot + 1; i < text.size() && std::isdigit(uint8_t(text[i])); ++i) {
            value += std::uint64_t(text[i] - '0') * scale;
            scale /= 10;
        }
    }
    return platform::win::FileTimeFromValue(value);
}

// ---- what is handed out -------------------------------------------------

std::size_t Aligned(std::size_t n) {
    return (n + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
}

std::string OidOf(const ASN1_OBJECT* obj) {
    return obj != nullptr ? ossl::OidText(obj) : "";
}

// The context: the token and what it says, in one block of the C runtime's
// heap, freed by CryptMemFree.
PCRYPT_TIMESTAMP_CONTEXT NewContext(const Token& token) {
    TS_TST_INFO* info = token.info.get();
    TS_MSG_IMPRINT* msg = TS_TST_INFO_get_msg_imprint(info);
    const ASN1_OBJECT* alg = nullptr;
    X509_ALGOR_get0(&alg, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(msg));
    const ASN1_OCTET_STRING* hashed = TS_MSG_IMPRINT_get_msg(msg);
    const TS_ACCURACY* accuracy = TS_TST_INFO_get_accuracy(info);
    const GENERAL_NAME* tsa = TS_TST_INFO_get_tsa(info);
    const STACK_OF(X509_EXTENSION)* exts = TS_TST_INFO_get_exts(info);
    const int extCount = exts != nullptr ? sk_X509_EXTENSION_num(exts) : 0;

    struct Piece {
        std::vector<BYTE> bytes;
        bool text = false;  // ends in a NUL
    };
    std::vector<Piece> pieces;
    const auto add = [&](std::vector<BYTE> bytes, bool text = false) {
        pieces.push_back({std::move(bytes), text});
        return pieces.size() - 1;
    };
    const auto addText = [&](const std::string& s) {
        return add(std::vector<BYTE>(s.begin(), s.end()), true);
    };
    const auto encoded = add(token.der);
    const auto policy = addText(OidOf(TS_TST_INFO_get_policy_id(info)));
    const auto hashAlg = addText(OidOf(alg));
    const auto hashedAt = add(std::vector<BYTE>(
        ASN1_STRING_get0_data(hashed), ASN1_STRING_get0_data(hashed) + ASN1_STRING_length(hashed)));
    const auto serial = add(LittleEndian(TS_TST_INFO_get_serial(info)));
    const auto nonce = add(LittleEndian(TS_TST_INFO_get_nonce(info)));
    const auto tsaAt =
        add(tsa != nullptr ? ossl::ToDer(tsa, i2d_GENERAL_NAME) : std::vector<BYTE>());
    std::vector<std::pair<std::size_t, std::size_t>> extAt;
    for (int i = 0; i < extCount; ++i) {
        const X509_EXTENSION* e = sk_X509_EXTENSION_value(exts, i);
        const ASN1_OCTET_STRING* data = X509_EXTENSION_get_data(const_cast<X509_EXTENSION*>(e));
        extAt.emplace_back(
            addText(OidOf(X509_EXTENSION_get_object(const_cast<X509_EXTENSION*>(e)))),
            add(std::vector<BYTE>(ASN1_STRING_get0_data(data),
                                  ASN1_STRING_get0_data(data) + ASN1_STRING_length(data))));
    }

    std::size_t size = Aligned(sizeof(CRYPT_TIMESTAMP_CONTEXT));
    const std::size_t infoAt = size;
    size = Aligned(size + sizeof(CRYPT_TIMESTAMP_INFO));
    const std::size_t accuracyAt = size;
    size = Aligned(size + sizeof(CRYPT_TIMESTAMP_ACCURACY));
    const std::size_t extsAt = size;
    size = Aligned(size + std::size_t(extCount) * sizeof(CERT_EXTENSION));
    std::vector<std::size_t> at;
    for (const auto& piece : pieces) {
        at.push_back(size);
        size += piece.bytes.size() + (piece.text ? 1 : 0);
    }
    auto* block = static_cast<BYTE*>(crt::malloc(size));
    if (block == nullptr) throw std::bad_alloc();
    std::memset(block, 0, size);
    for (std::size_t i = 0; i < pieces.size(); ++i)
        if (!pieces[i].bytes.empty())
            std::memcpy(block + at[i], pieces[i].bytes.data(), pieces[i].bytes.size());
    const auto blob = [&](std::size_t i) {
        return CRYPTOAPI_BLOB{DWORD(pieces[i].bytes.size()),
                              pieces[i].bytes.empty() ? nullptr : block + at[i]};
    };
    const auto text = [&](std::size_t i) { return reinterpret_cast<LPSTR>(block + at[i]); };

    auto* context = reinterpret_cast<CRYPT_TIMESTAMP_CONTEXT*>(block);
    auto* out = reinterpret_cast<CRYPT_TIMESTAMP_INFO*>(block + infoAt);
    context->cbEncoded = blob(encoded).cbData;
    context->pbEncoded = blob(encoded).pbData;
    context->pTimeStamp = out;
    out->dwVersion = DWORD(TS_TST_INFO_get_version(info));
    out->pszTSAPolicyId = text(policy);
    out->HashAlgorithm.pszObjId = text(hashAlg);
    out->HashedMessage = blob(hashedAt);
    out->SerialNumber = blob(serial);
    out->ftTime = TokenTime(info);
    if (accuracy != nullptr) {
        auto* acc = reinterpret_cast<CRYPT_TIMESTAMP_ACCURACY*>(block + accuracyAt);
        const auto part = [](const ASN1_INTEGER* v) {
            return v != nullptr ? DWORD(ASN1_INTEGER_get(v)) : DWORD(0);
        };
        acc->dwSeconds = part(TS_ACCURACY_get_seconds(accuracy));
        acc->dwMillis = part(TS_ACCURACY_get_millis(accuracy));
        acc->dwMicros = part(TS_ACCURACY_get_micros(accuracy));
        out->pvAccuracy = acc;
    }
    out->fOrdering = TS_TST_INFO_get_ordering(info) ? TRUE : FALSE;
    out->Nonce = blob(nonce);
    out->Tsa = blob(tsaAt);
    out->cExtension = DWORD(extCount);
    if (extCount > 0) {
        auto* list = reinterpret_cast<CERT_EXTENSION*>(block + extsAt);
        for (int i = 0; i < extCount; ++i) {
            const X509_EXTENSION* e = sk_X509_EXTENSION_value(exts, i);
            list[i].pszObjId = text(extAt[std::size_t(i)].first);
            list[i].fCritical = X509_EXTENSION_get_critical(e) ? TRUE : FALSE;
            list[i].Value = blob(extAt[std::size_t(i)].second);
        }
        out->rgExtension = list;
    }
    return context;
}

std::shared_ptr<const Certificate> CertificateOfX509(X509* cert) {
    auto certificate = Certificate::FromDer(ossl::ToDer(cert, i2d_X509));
    if (!certificate) throw Failed(CRYPT_E_ASN1_CORRUPT, "a certificate of the token is damaged");
    return certificate;
}

// Hands out what the caller asked for, all or nothing.
void HandOut(const Token& token, PCRYPT_TIMESTAMP_CONTEXT* ppTsContext, PCCERT_CONTEXT* ppTsSigner,
             HCERTSTORE* phStore) {
    std::unique_ptr<CRYPT_TIMESTAMP_CONTEXT, Deleter<crt::free>> context;
    if (ppTsContext != nullptr) context.reset(NewContext(token));
    PCCERT_CONTEXT signer = nullptr;
    if (ppTsSigner != nullptr) {
        signer = NewCertContext(CertificateOfX509(token.signer.get()), nullptr, nullptr, 0);
        if (signer == nullptr) throw std::bad_alloc();
    }
    HCERTSTORE store = nullptr;
    if (phStore != nullptr) {
        try {
            std::vector<std::shared_ptr<const Certificate>> certs;
            for (int i = 0; token.certs && i < sk_X509_num(token.certs.get()); ++i)
                certs.push_back(CertificateOfX509(sk_X509_value(token.certs.get(), i)));
            store = OpenMemoryStore(std::move(certs));
        } catch (...) {
            CertFreeCertificateContext(signer);
            throw;
        }
    }
    if (ppTsContext != nullptr) *ppTsContext = context.release();
    if (ppTsSigner != nullptr) *ppTsSigner = signer;
    if (phStore != nullptr) *phStore = store;
}

template <class T>
void Clear(T* out) {
    if (out != nullptr) *out = nullptr;
}

}  // namespace
}  // namespace platform::crypt

using namespace platform::crypt;

BOOL CryptGenRandom(HCRYPTPROV, DWORD dwLen, BYTE* pbBuffer) {
    return platform::GuardedCall("CryptGenRandom", [&]() -> BOOL {
        if (dwLen == 0) return TRUE;
        if (pbBuffer == nullptr) throw Failed(ERROR_INVALID_PARAMETER);
        if (RAND_bytes(pbBuffer, int(std::min<DWORD>(dwLen, 0x7FFFFFFF))) != 1 ||
            (dwLen > 0x7FFFFFFF &&
             RAND_bytes(pbBuffer + 0x7FFFFFFF, int(dwLen - 0x7FFFFFFF)) != 1)) {
            ossl::DropErrors();
            throw Failed(NTE_FAIL, "the random generator failed");
        }
        return TRUE;
    });
}

void CryptMemFree(LPVOID pv) {
    crt::free(pv);
}

BOOL CryptRetrieveTimeStamp(LPCWSTR wszUrl, DWORD dwRetrievalFlags, DWORD dwTimeout,
                            LPCSTR pszHashId, const CRYPT_TIMESTAMP_PARA* pPara, const BYTE* pbData,
                            DWORD cbData, PCRYPT_TIMESTAMP_CONTEXT* ppTsContext,
                            PCCERT_CONTEXT* ppTsSigner, HCERTSTORE* phStore) {
    Clear(ppTsContext);
    Clear(ppTsSigner);
    Clear(phStore);
    return platform::GuardedCall("CryptRetrieveTimeStamp", [&]() -> BOOL {
        if (wszUrl == nullptr || pszHashId == nullptr || ppTsContext == nullptr ||
            (pbData == nullptr && cbData != 0))
            throw Failed(E_INVALIDARG);
        if ((dwRetrievalFlags & ~kKnownFlags) != 0) throw Failed(NTE_BAD_FLAGS);
        const EVP_MD* md = DigestNamed(pszHashId);
        if (md == nullptr)
            throw Failed(CRYPT_E_UNKNOWN_ALGO, std::string("no time stamps over ") + pszHashId);
        std::vector<BYTE> imprint;
        if ((dwRetrievalFlags & TIMESTAMP_DONT_HASH_DATA) != 0) {
            if (cbData != DWORD(EVP_MD_get_size(md)))
                throw Failed(NTE_BAD_HASH, "the hash given is not of the digest named");
            imprint.assign(pbData, pbData + cbData);
        } else {
            imprint = Digest(md, pbData, cbData);
        }
        const std::string url = UrlText(wszUrl);
        const Request request = BuildRequest(md, std::move(imprint), pPara);

        const std::vector<BYTE> body =
            Post(url, request.der, dwTimeout != 0 ? dwTimeout : kDefaultTimeoutMs);

        const unsigned char* p = body.data();
        TsRespPtr reply(d2i_TS_RESP(nullptr, &p, long(body.size())));
        if (!reply || p != body.data() + body.size()) {
            ossl::DropErrors();
            throw Failed(CRYPT_E_ASN1_CORRUPT,
                         "the time-stamping authority's reply is not a time-stamp response");
        }
        TS_STATUS_INFO* status = TS_RESP_get_status_info(reply.get());
        const long granted = ASN1_INTEGER_get(TS_STATUS_INFO_get0_status(status));
        if (granted != TS_STATUS_GRANTED && granted != TS_STATUS_GRANTED_WITH_MODS) {
            std::string why = "the time-stamping authority refused the request (status " +
                              std::to_string(granted) + ")";
            if (const auto* text = TS_STATUS_INFO_get0_text(status);
                text != nullptr && sk_ASN1_UTF8STRING_num(text) > 0) {
                const ASN1_UTF8STRING* first = sk_ASN1_UTF8STRING_value(text, 0);
                why +=
                    ": " + std::string(reinterpret_cast<const char*>(ASN1_STRING_get0_data(first)),
                                       std::size_t(ASN1_STRING_length(first)));
            }
            throw Failed(TRUST_E_TIME_STAMP, why);
        }
        PKCS7* tokenObject = TS_RESP_get_token(reply.get());
        if (tokenObject == nullptr)
            throw Failed(TRUST_E_TIME_STAMP, "the time-stamping authority granted no token");
        Token token = CheckToken(ossl::ToDer(tokenObject, i2d_PKCS7), nullptr);
        CheckImprint(token.info.get(), md, request.imprint);
        const ASN1_INTEGER* nonce = TS_TST_INFO_get_nonce(token.info.get());
        if (nonce == nullptr || ASN1_INTEGER_cmp(nonce, request.nonce.get()) != 0)
            throw Failed(NTE_BAD_DATA, "the time stamp's nonce is not the request's");
        if (!request.policy.empty() &&
            OidOf(TS_TST_INFO_get_policy_id(token.info.get())) != request.policy)
            throw Failed(TRUST_E_TIME_STAMP, "the time stamp is under another policy");
        HandOut(token, ppTsContext, ppTsSigner, phStore);
        return TRUE;
    });
}

BOOL CryptVerifyTimeStampSignature(const BYTE* pbTSContentInfo, DWORD cbTSContentInfo,
                                   const BYTE* pbData, DWORD cbData, HCERTSTORE hAdditionalStore,
                                   PCRYPT_TIMESTAMP_CONTEXT* ppTsContext,
                                   PCCERT_CONTEXT* ppTsSigner, HCERTSTORE* phStore) {
    Clear(ppTsContext);
    Clear(ppTsSigner);
    Clear(phStore);
    return platform::GuardedCall("CryptVerifyTimeStampSignature", [&]() -> BOOL {
        if (pbTSContentInfo == nullptr || cbTSContentInfo == 0 ||
            (pbData == nullptr && cbData != 0))
            throw Failed(E_INVALIDARG);
        CertsPtr extra;
        if (hAdditionalStore != nullptr) {
            extra.reset(sk_X509_new_null());
            if (!extra) throw std::bad_alloc();
            for (PCCERT_CONTEXT c = CertEnumCertificatesInStore(hAdditionalStore, nullptr);
                 c != nullptr; c = CertEnumCertificatesInStore(hAdditionalStore, c)) {
                if (c->pbCertEncoded == nullptr) continue;  // an entry that cannot be used
                const unsigned char* p = c->pbCertEncoded;
                X509* cert = d2i_X509(nullptr, &p, long(c->cbCertEncoded));
                if (cert == nullptr) {
                    ossl::DropErrors();
                    continue;
                }
                if (sk_X509_push(extra.get(), cert) <= 0) {
                    X509_free(cert);
                    CertFreeCertificateContext(c);
                    throw std::bad_alloc();
                }
            }
            if (GetLastError() != DWORD(CRYPT_E_NOT_FOUND)) throw Failed(GetLastError());
        }
        Token token = CheckToken(
            std::vector<BYTE>(pbTSContentInfo, pbTSContentInfo + cbTSContentInfo), extra.get());
        TS_MSG_IMPRINT* msg = TS_TST_INFO_get_msg_imprint(token.info.get());
        const ASN1_OBJECT* alg = nullptr;
        X509_ALGOR_get0(&alg, nullptr, nullptr, TS_MSG_IMPRINT_get_algo(msg));
        const EVP_MD* md = DigestNamed(OidOf(alg));
        if (md == nullptr)
            throw Failed(CRYPT_E_UNKNOWN_ALGO, "the time stamp is over a digest not offered here");
        CheckImprint(token.info.get(), md, Digest(md, pbData, cbData));
        HandOut(token, ppTsContext, ppTsSigner, phStore);
        return TRUE;
    });
}
