#pragma once
// Owners for OpenSSL objects, and the OpenSSL error queue as text. Kept out of
// the public headers of the crypt layer.

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/win/Failure.h"

namespace platform::crypt::ossl {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* p) const {
        if (p != nullptr) Free(p);
    }
};

using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Deleter<PKCS7_free>>;
using Pkcs12Ptr = std::unique_ptr<PKCS12, Deleter<PKCS12_free>>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using Asn1TimePtr = std::unique_ptr<ASN1_TIME, Deleter<ASN1_TIME_free>>;
using Asn1TypePtr = std::unique_ptr<ASN1_TYPE, Deleter<ASN1_TYPE_free>>;
using Asn1ObjectPtr = std::unique_ptr<ASN1_OBJECT, Deleter<ASN1_OBJECT_free>>;
using X509AttributePtr = std::unique_ptr<X509_ATTRIBUTE, Deleter<X509_ATTRIBUTE_free>>;
using X509NamePtr = std::unique_ptr<X509_NAME, Deleter<X509_NAME_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, Deleter<BN_free>>;
using Asn1IntegerPtr = std::unique_ptr<ASN1_INTEGER, Deleter<ASN1_INTEGER_free>>;

// Drains the thread's OpenSSL error queue into one line, most recent last.
inline std::string TakeErrors() {
    std::string out;
    unsigned long e;
    char buf[256];
    while ((e = ERR_get_error()) != 0) {
        ERR_error_string_n(e, buf, sizeof buf);
        if (!out.empty()) out += "; ";
        out += buf;
    }
    return out;
}

// Keeps one error taken from OpenSSL's queue (ERR_get_error_all) as a cause
// of the failure under way, when failures are told (OSTREL_DEBUG=1): library,
// reason, the text OpenSSL added, and where OpenSSL raised it.
inline void KeepError(unsigned long e, const char* file, int line, const char* data, int flags) {
    if (e == 0 || !platform::DebugFailures()) return;
    const char* lib = ERR_lib_error_string(e);
    const char* reason = ERR_reason_error_string(e);
    std::string cause = "openssl: ";
    cause += lib != nullptr ? lib : "unknown library";
    cause += ": ";
    cause += reason != nullptr ? reason : "reason " + std::to_string(ERR_GET_REASON(e));
    if ((flags & ERR_TXT_STRING) != 0 && data != nullptr && *data != 0)
        cause.append(" (").append(data).append(")");
    if (file != nullptr) cause.append(" at ").append(file).append(":").append(std::to_string(line));
    platform::KeepCause(std::move(cause));
}

// Takes the oldest error from OpenSSL's queue (0 when it is empty), keeping
// it as a cause as KeepError does.
inline unsigned long TakeError() {
    const char* file = nullptr;
    const char* data = nullptr;
    int line = 0;
    int flags = 0;
    const unsigned long e = ERR_get_error_all(&file, &line, nullptr, &data, &flags);
    KeepError(e, file, line, data, flags);
    return e;
}

// Forgets the thread's OpenSSL error queue, keeping it first as the cause of
// the failure under way when failures are told.
inline void DropErrors() {
    if (platform::DebugFailures())
        while (TakeError() != 0) {
        }
    ERR_clear_error();
}

// DER encoding of an object through its i2d function.
template <typename T, typename F>
std::vector<unsigned char> ToDer(const T* object, F i2d) {
    std::vector<unsigned char> der;
    const int n = i2d(const_cast<T*>(object), nullptr);
    if (n <= 0) return der;
    der.resize(std::size_t(n));
    unsigned char* p = der.data();
    i2d(const_cast<T*>(object), &p);
    return der;
}

// The dotted form of an object identifier.
inline std::string OidText(const ASN1_OBJECT* obj) {
    char buf[128];
    const int n = OBJ_obj2txt(buf, sizeof buf, obj, 1);
    if (n < 0) return {};
    if (std::size_t(n) < sizeof buf) return std::string(buf, std::size_t(n));
    std::string big(std::size_t(n) + 1, '\0');
    OBJ_obj2txt(big.data(), n + 1, obj, 1);
    big.resize(std::size_t(n));
    return big;
}

}  // namespace platform::crypt::ossl
